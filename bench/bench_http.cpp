// Sequential keep-alive GETs of a 20,000-byte file from a local nginx:
// TIdHTTP against libcurl in the same run, alternating rounds, medians.
// Starts nginx itself on 127.0.0.1 with a private configuration in a
// temporary folder and stops it at the end. Target: at least 0.9x libcurl.
//
//   build/bin/bench_http [rounds] [requests-per-round]
#include "download/IdHTTP.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace kartivo::bench {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileSize = 20000;

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Listening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// nginx in the foreground, single process, everything under `dir`.
class Nginx {
public:
    Nginx()
    {
        char tmpl[] = "/tmp/kartivo-bench-http-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        fs::create_directories(dir_ / "www");
        fs::create_directories(dir_ / "logs");
        std::ofstream(dir_ / "www" / "tile.png", std::ios::binary) << std::string(kFileSize, 't');
        port_ = FreePort();
        const std::string d = dir_.string();
        std::ofstream conf(dir_ / "nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "pid " << d << "/nginx.pid;\nerror_log " << d << "/logs/error.log;\n"
             << "events { worker_connections 64; }\n"
             << "http {\n  access_log off;\n  keepalive_requests 100000000;\n"
             << "  keepalive_timeout 300s;\n"
             << "  client_body_temp_path " << d << "/tmp_body;\n"
             << "  proxy_temp_path " << d << "/tmp_proxy;\n"
             << "  fastcgi_temp_path " << d << "/tmp_fastcgi;\n"
             << "  uwsgi_temp_path " << d << "/tmp_uwsgi;\n"
             << "  scgi_temp_path " << d << "/tmp_scgi;\n"
             << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
             << "    root " << d << "/www;\n  }\n}\n";
        conf.close();
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string confPath = d + "/nginx.conf";
            const std::string errPath = d + "/logs/error.log";
            ::execlp("nginx", "nginx", "-p", d.c_str(), "-c", confPath.c_str(), "-e", errPath.c_str(),
                     static_cast<char*>(nullptr));
            ::execl("/usr/sbin/nginx", "nginx", "-p", d.c_str(), "-c", confPath.c_str(), "-e",
                    errPath.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        // Wait for it to listen (at most ten seconds).
        for (int i = 0; i < 1000 && !Listening(port_); ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ok_ = pid_ > 0 && Listening(port_);
    }
    ~Nginx()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool Ok() const { return ok_; }
    int Port() const { return port_; }
    std::string ErrorLog() const
    {
        std::ifstream f(dir_ / "logs" / "error.log");
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

private:
    fs::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ok_ = false;
};

using Clock = std::chrono::steady_clock;

size_t CurlWrite(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int Run(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int perRound = argc > 2 ? std::atoi(argv[2]) : 2000;

    Nginx nginx;
    if (!nginx.Ok()) {
        std::fprintf(stderr, "bench_http: nginx did not start\n%s", nginx.ErrorLog().c_str());
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/tile.png";

    download::TIdHTTP http;
    download::TMemoryStream buf;
    int ourConnects = 0;

    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    long curlConnects = 0;

    auto runOurs = [&] {
        const auto t0 = Clock::now();
        for (int i = 0; i < perRound; ++i) {
            if (!http.Connected())
                ++ourConnects;
            buf.Clear();
            http.Get(url, buf);
            if (buf.Size() != kFileSize)
                throw std::runtime_error("short body from TIdHTTP");
        }
        return perRound / std::chrono::duration<double>(Clock::now() - t0).count();
    };
    auto runCurl = [&] {
        const auto t0 = Clock::now();
        for (int i = 0; i < perRound; ++i) {
            body.clear();
            if (curl_easy_perform(curl) != CURLE_OK || body.size() != kFileSize)
                throw std::runtime_error("libcurl request failed");
            long n = 0;
            curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &n);
            curlConnects += n;
        }
        return perRound / std::chrono::duration<double>(Clock::now() - t0).count();
    };

    std::vector<double> ours, theirs;
    try {
        runOurs(); // warm-up: connections, caches
        runCurl();
        for (int r = 0; r < rounds; ++r) {
            if (r % 2 == 0) {
                ours.push_back(runOurs());
                theirs.push_back(runCurl());
            } else {
                theirs.push_back(runCurl());
                ours.push_back(runOurs());
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_http: %s\n", e.what());
        return 1;
    }
    curl_easy_cleanup(curl);
    curl_global_cleanup();

    const double a = Median(ours), b = Median(theirs);
    std::printf(
        "bench_http: %d rounds x %d sequential keep-alive GETs of %zu bytes from nginx on 127.0.0.1\n",
        rounds, perRound, kFileSize);
    std::printf("  TIdHTTP : %9.0f requests/s (median), connections opened: %d\n", a, ourConnects);
    std::printf("  libcurl : %9.0f requests/s (median), connections opened: %ld\n", b, curlConnects);
    std::printf("  ratio   : %.2fx libcurl (target >= 0.90x)\n", a / b);
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
