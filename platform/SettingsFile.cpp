#include "platform/SettingsFile.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace kartivo::platform {

namespace settings {

TextSetting RecentProject(int index)
{
    static constexpr std::string_view kNames[kRecentProjects] = {"Recent1", "Recent2", "Recent3", "Recent4",
                                                                 "Recent5", "Recent6", "Recent7", "Recent8"};
    return {"plateview", kNames[index]};
}

} // namespace settings

namespace {

// A holder of the folder lock takes milliseconds (one small file written
// and flushed); one that holds it longer than this is not a Kartivo save,
// and the save goes ahead rather than freeze the window that asked.
constexpr auto kLockPatience = std::chrono::seconds(10);

// An exclusive flock on the folder that holds the settings file. The folder
// is locked rather than the file because every save replaces the file by a
// new one: a lock on the old file would not keep out a program that opens
// the new one. The folder stays the same, needs no lock file of its own
// beside the settings, and exists before the first save creates the file.
// A file system that cannot lock a folder leaves the save unlocked, as it
// always was there.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder)
    {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        const auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > giveUp) {
                Release();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~FolderLock() { Release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    void Release()
    {
        if (fd_ >= 0)
            ::close(fd_); // closing the only descriptor releases the lock
        fd_ = -1;
    }
    int fd_ = -1;
};

std::string FolderOf(const std::string& path)
{
    const std::string folder = ExtractFilePath(path);
    return folder.empty() ? std::string(".") : folder;
}

} // namespace

std::string SettingsValues::Get(const TextSetting& key) const
{
    return text_.ReadString(std::string(key.Section), std::string(key.Name),
                            key.Default ? key.Default() : std::string());
}

bool SettingsValues::Get(const FlagSetting& key) const
{
    return text_.ReadInteger(std::string(key.Section), std::string(key.Name), key.Default ? 1 : 0) == 1;
}

void SettingsValues::Set(const TextSetting& key, const std::string& value)
{
    text_.WriteString(std::string(key.Section), std::string(key.Name), value);
}

void SettingsValues::Set(const FlagSetting& key, bool value)
{
    text_.WriteInteger(std::string(key.Section), std::string(key.Name), value ? 1 : 0);
}

SettingsValues ReadSettings(const std::string& file, IniLoad* load)
{
    IniText text;
    const IniLoad how = TIniFile(file).Load(text);
    if (load)
        *load = how;
    return SettingsValues(std::move(text));
}

void UpdateSettings(const std::string& file, const std::function<void(SettingsValues&)>& change)
{
    // The save replaces the file the links lead to, in that file's folder.
    FolderLock lock(FolderOf(ResolveFileLinks(file)));
    TIniFile ini(file);
    IniText text;
    if (ini.Load(text) == IniLoad::Refused)
        throw EIniFileException(file);
    SettingsValues values(std::move(text));
    change(values);
    ini.Store(values.Text());
}

} // namespace kartivo::platform
