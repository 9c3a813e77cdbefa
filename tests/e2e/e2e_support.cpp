#include "tests/e2e/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace km::e2e {

fs::path build_dir() {
    return KM_E2E_BUILD_DIR;
}

namespace {

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

bool port_answers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

pid_t xvfb_pid = -1;

void stop_xvfb() {
    if (xvfb_pid > 0) {
        ::kill(xvfb_pid, SIGTERM);
        wait_exit(xvfb_pid, 5s);
    }
}

}  // namespace

pid_t spawn(const std::vector<std::string>& args, const fs::path& directory,
            const std::vector<std::string>& extra_env) {
    std::vector<std::string> argv_text = args;
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
        env_text.emplace_back(*e);
    for (const auto& entry : extra_env)
        env_text.push_back(entry);
    auto argv = c_strings(argv_text);
    auto envp = c_strings(env_text);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

std::vector<pid_t> processes_running_from(const fs::path& directory) {
    std::vector<pid_t> found;
    const std::string prefix = fs::weakly_canonical(directory).string() + "/";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code link_ec;
        const std::string exe = fs::read_symlink(entry.path() / "exe", link_ec).string();
        if (!link_ec && exe.rfind(prefix, 0) == 0)
            found.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return found;
}

void kill_processes_running_from(const fs::path& directory) {
    for (const pid_t pid : processes_running_from(directory)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, WNOHANG);
    }
}

bool run_tool(const std::vector<std::string>& args) {
    std::vector<std::string> full = args;
    full[0] = (build_dir() / args[0]).string();
    const pid_t pid = spawn(full, build_dir());
    const auto code = wait_exit(pid, 60s);
    return code && *code == 0;
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

void ensure_display() {
    if (xvfb_pid > 0 || std::getenv("DISPLAY"))
        return;
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    std::vector<std::string> args = {"/usr/bin/Xvfb", "-displayfd", "3",  "-screen", "0",
                                     "1280x800x24",   "-nolisten",  "tcp"};
    auto argv = c_strings(args);
    const int error = ::posix_spawn(&xvfb_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0)
        throw std::runtime_error("cannot start Xvfb");
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        number.push_back(c);
    ::close(fds[0]);
    if (number.empty())
        throw std::runtime_error("Xvfb did not report its display");
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    std::atexit(stop_xvfb);
}

Nginx::Nginx(const fs::path& root, const fs::path& work) {
    const fs::path prefix = work / "nginx";
    fs::create_directories(prefix / "tmp");
    const std::string p = prefix.string();
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        const int port = free_port();
        test::write_file(
            prefix / "nginx.conf",
            std::string(::geteuid() == 0 ? "user root;\n" : "") + "daemon off;\npid " + p +
                "/nginx.pid;\nerror_log " + p + "/error.log;\nevents {}\nhttp {\naccess_log " + p +
                "/access.log;\nclient_body_temp_path " + p + "/tmp;\n" + "proxy_temp_path " + p +
                "/tmp;\nfastcgi_temp_path " + p + "/tmp;\nuwsgi_temp_path " + p +
                "/tmp;\nscgi_temp_path " + p + "/tmp;\nserver {\nlisten 127.0.0.1:" +
                std::to_string(port) + ";\nroot " + root.string() + ";\n}\n}\n");
        pid_ = spawn({"/usr/sbin/nginx", "-p", p, "-c", p + "/nginx.conf"}, work);
        if (eventually([&] { return port_answers(port) || wait_exit(pid_, 0ms).has_value(); },
                       10s) &&
            port_answers(port)) {
            port_ = port;
            return;
        }
        ::kill(pid_, SIGTERM);
        wait_exit(pid_, 5s);
        pid_ = -1;
    }
    throw std::runtime_error("nginx did not start; see " + p + "/error.log");
}

Nginx::~Nginx() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!wait_exit(pid_, 5s)) {
            ::kill(pid_, SIGKILL);
            wait_exit(pid_, 5s);
        }
    }
}

Recorder::Recorder() {
    auto cors = [](httplib::Response& response) {
        response.set_header("Access-Control-Allow-Origin", "*");
    };
    server_.handle("POST", "/record",
                   [this, cors](const httplib::Request& request, httplib::Response& response) {
                       cors(response);
                       auto report = nlohmann::json::parse(request.body, nullptr, false);
                       if (!report.is_discarded()) {
                           std::lock_guard<std::mutex> hold(mutex_);
                           reports_.push_back(std::move(report));
                       }
                       response.status = 204;
                   });
    server_.handle("GET", "/next",
                   [this, cors](const httplib::Request&, httplib::Response& response) {
                       cors(response);
                       std::string next;
                       {
                           std::lock_guard<std::mutex> hold(mutex_);
                           if (!commands_.empty()) {
                               next = commands_.front();
                               commands_.pop_front();
                           }
                       }
                       response.set_content(next, "text/plain");
                   });
}

void Recorder::send(const nlohmann::json& command) {
    std::lock_guard<std::mutex> hold(mutex_);
    commands_.push_back(command.dump());
}

std::vector<nlohmann::json> Recorder::reports(const std::string& kind) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<nlohmann::json> out;
    for (const auto& report : reports_)
        if (report.value("kind", "") == kind)
            out.push_back(report["value"]);
    return out;
}

std::vector<nlohmann::json> Recorder::events_named(const std::string& name) const {
    std::vector<nlohmann::json> out;
    for (const auto& event : events())
        if (event.is_object() && event.value("event", "") == name)
            out.push_back(event);
    return out;
}

bool Recorder::wait_for_event(const std::function<bool(const nlohmann::json&)>& pred,
                              std::chrono::milliseconds timeout) const {
    return eventually(
        [&] {
            for (const auto& event : events())
                if (pred(event))
                    return true;
            return false;
        },
        timeout);
}

bool Recorder::wait_for_loads(std::size_t count, std::chrono::milliseconds timeout) const {
    return eventually([&] { return reports("loaded").size() >= count; }, timeout);
}

std::string Recorder::page_html() const {
    return R"(<!doctype html>
<html><head><meta charset="utf-8"><title>e2e page</title></head><body><script>
(function () {
  var recorder = 'http://127.0.0.1:)" +
           std::to_string(port()) + R"(';
  var seq = 0;
  function report(kind, value) {
    var body = JSON.stringify({seq: ++seq, kind: kind, value: value});
    fetch(recorder + '/record', {method: 'POST', body: body}).catch(function () {});
  }
  var webview = window.chrome && window.chrome.webview;
  if (!webview) { report('loaded', {shim: false}); return; }
  webview.addEventListener('message', function (e) { report('event', e.data); });
  report('loaded', {shim: true});
  webview.postMessage({cmd: 'ready'});
  function poll() {
    fetch(recorder + '/next').then(function (r) { return r.text(); }).then(function (text) {
      if (text) webview.postMessage(JSON.parse(text));
      setTimeout(poll, 50);
    }).catch(function () { setTimeout(poll, 200); });
  }
  poll();
})();
</script></body></html>
)";
}

}  // namespace km::e2e
