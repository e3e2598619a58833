#pragma once
// A least-recently-used cache bounded by bytes: each entry carries its cost
// (the bytes of a decoded image), and inserting past the bound drops the
// entries used longest ago. Used from one thread only.
#include <cstddef>
#include <list>
#include <unordered_map>
#include <utility>

namespace kartivo::view {

template <class Key, class Value, class Hash = std::hash<Key>> class ByteCache {
public:
    explicit ByteCache(std::size_t maxBytes) : maxBytes_(maxBytes) {}

    // The entry, marked as just used; nullptr when absent.
    const Value* Find(const Key& key)
    {
        auto it = index_.find(key);
        if (it == index_.end())
            return nullptr;
        order_.splice(order_.begin(), order_, it->second);
        return &it->second->value;
    }
    // The entry without touching its age (for looking around a frame).
    const Value* Peek(const Key& key) const
    {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->value;
    }
    bool Contains(const Key& key) const { return index_.count(key) != 0; }

    // Adds or replaces an entry. One entry costlier than the whole bound is
    // still kept (alone), so that a frame can always show what it loaded.
    void Insert(const Key& key, Value value, std::size_t cost)
    {
        Erase(key);
        order_.push_front(Node{key, std::move(value), cost});
        index_.emplace(key, order_.begin());
        bytes_ += cost;
        while (bytes_ > maxBytes_ && order_.size() > 1)
            Erase(order_.back().key);
    }
    void Erase(const Key& key)
    {
        auto it = index_.find(key);
        if (it == index_.end())
            return;
        bytes_ -= it->second->cost;
        order_.erase(it->second);
        index_.erase(it);
    }
    void Clear()
    {
        order_.clear();
        index_.clear();
        bytes_ = 0;
    }

    std::size_t Bytes() const { return bytes_; }
    std::size_t MaxBytes() const { return maxBytes_; }
    std::size_t Count() const { return index_.size(); }

private:
    struct Node {
        Key key;
        Value value;
        std::size_t cost;
    };
    std::size_t maxBytes_;
    std::size_t bytes_ = 0;
    std::list<Node> order_; // most recently used first
    std::unordered_map<Key, typename std::list<Node>::iterator, Hash> index_;
};

} // namespace kartivo::view
