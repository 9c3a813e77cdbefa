// The platform seam over GTK3, WebKitGTK and POSIX processes.
#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/cmdline.h"
#include "platform/gtk/gtk_host.h"
#include "platform/page_delivery.h"
#include "platform/platform.h"

extern char** environ;

namespace km::gtk {

GtkWindow* main_window = nullptr;
WebKitWebView* web_view = nullptr;

namespace {

std::thread::id window_thread;
std::atomic<bool> window_created{false};
std::atomic<bool> loop_running{false};

// Like a window's message queue, the hand-over to the window's thread has a limit, so that a
// worker flooding it while the page is busy cannot grow memory without end.
constexpr int queue_limit = 10000;
std::atomic<int> queued_events{0};

// setenv and the environment a spawned child copies must not race.
std::mutex& environment_mutex() {
    static auto* mutex = new std::mutex;  // never destroyed: workers may still spawn at exit
    return *mutex;
}

}  // namespace

void mark_window_thread() {
    window_thread = std::this_thread::get_id();
}

bool on_window_thread() {
    return std::this_thread::get_id() == window_thread;
}

void set_window_exists() {
    window_created.store(true);
}

void set_loop_running(bool running) {
    loop_running.store(running);
}

void send_text_to_page(const std::string& json) {
    if (!web_view)
        return;
    // The text travels as a string argument and the shim parses it: event text is never
    // compiled as script. GVariant strings must be UTF-8, so broken sequences are replaced.
    gchar* text = g_utf8_make_valid(json.data(), static_cast<gssize>(json.size()));
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&arguments, "{sv}", "text", g_variant_new_string(text));
    g_free(text);
    webkit_web_view_call_async_javascript_function(
        web_view, "if (typeof window.__kmDeliver === 'function') window.__kmDeliver(text);", -1,
        g_variant_builder_end(&arguments), nullptr, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer) {
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                WEBKIT_WEB_VIEW(source), result, &error);
            if (value)
                g_object_unref(value);
            g_clear_error(&error);
        },
        nullptr);
}

}  // namespace km::gtk

namespace km::platform {

namespace {

gboolean deliver_queued_event(gpointer data) {
    std::unique_ptr<std::string> text(static_cast<std::string*>(data));
    gtk::queued_events.fetch_sub(1);
    try {
        deliver_ui_event(*text);
    } catch (...) {
        // The event is lost, as a refused post would be.
    }
    return G_SOURCE_REMOVE;
}

gboolean handle_request(gpointer data) {
    const auto request = static_cast<WindowRequest>(GPOINTER_TO_INT(data));
    try {
        switch (request) {
            case WindowRequest::reload_page:
                if (gtk::web_view)
                    webkit_web_view_reload(gtk::web_view);
                break;
            case WindowRequest::restart_prompt:
                deliver_ui_event(restart_prompt_event);
                break;
            case WindowRequest::close:
                end_message_loop();
                break;
        }
    } catch (...) {
    }
    return G_SOURCE_REMOVE;
}

// Ignored signals survive exec; the child gets the defaults a fresh process would have.
void reset_child_signals(posix_spawnattr_t& attr, short extra_flags) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    sigset_t empty;
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setflags(
        &attr, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | extra_flags));
}

// Starts `args[0]` with `args` as its argument vector in `directory` (the current one when
// empty), without a shell. -1 when the process could not be started.
pid_t spawn_process(const std::vector<std::string>& args, const std::string& directory,
                    bool new_session, bool search_path) {
    if (args.empty() || args[0].empty())
        return -1;
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    reset_child_signals(attr, new_session ? POSIX_SPAWN_SETSID : 0);

    pid_t pid = -1;
    int error = 0;
    {
        std::lock_guard<std::mutex> hold(gtk::environment_mutex());
        error = search_path ? posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ)
                            : posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// A child nobody waits for would stay a zombie while the launcher runs.
void reap_in_background(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // Without a thread the child is reaped when the launcher exits.
    }
}

bool start_unwaited(const std::vector<std::string>& args, const std::string& directory,
                    bool new_session) {
    const pid_t pid = spawn_process(args, directory, new_session, false);
    if (pid < 0)
        return false;
    reap_in_background(pid);
    return true;
}

struct PendingBox {
    std::string text;
    std::string caption;
    unsigned style = 0;
    bool owned = false;
    std::mutex mutex;
    std::condition_variable answered_cv;
    bool answered = false;
    int answer = id_cancel;
};

int run_dialog(const std::string& text, const std::string& caption, unsigned style, bool owned) {
    GtkMessageType type = GTK_MESSAGE_OTHER;
    if ((style & 0xF0) == mb_iconerror)
        type = GTK_MESSAGE_ERROR;
    else if ((style & 0xF0) == mb_iconinformation)
        type = GTK_MESSAGE_INFO;
    const bool ok_cancel = (style & 0x0F) == mb_okcancel;
    GtkWindow* parent = owned ? gtk::main_window : nullptr;
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, type,
                                               ok_cancel ? GTK_BUTTONS_OK_CANCEL : GTK_BUTTONS_OK,
                                               "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
    if (!parent)
        gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    // A box with OK alone answers OK however it is closed, as on Windows.
    if (!ok_cancel)
        return id_ok;
    return response == GTK_RESPONSE_OK ? id_ok : id_cancel;
}

gboolean show_pending_box(gpointer data) {
    auto* box = static_cast<std::shared_ptr<PendingBox>*>(data);
    std::shared_ptr<PendingBox> pending = *box;
    delete box;
    int answer = id_cancel;
    try {
        answer = run_dialog(pending->text, pending->caption, pending->style, pending->owned);
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> hold(pending->mutex);
        pending->answer = answer;
        pending->answered = true;
    }
    pending->answered_cv.notify_all();
    return G_SOURCE_REMOVE;
}

struct PendingCopy {
    std::string text;
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool copied = false;
};

bool copy_on_window_thread(const std::string& text) {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (!clipboard)
        return false;
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    gtk_clipboard_set_text(clipboard, valid, -1);
    g_free(valid);
    return true;
}

gboolean copy_pending(gpointer data) {
    auto* holder = static_cast<std::shared_ptr<PendingCopy>*>(data);
    std::shared_ptr<PendingCopy> pending = *holder;
    delete holder;
    bool copied = false;
    try {
        copied = copy_on_window_thread(pending->text);
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> hold(pending->mutex);
        pending->copied = copied;
        pending->done = true;
    }
    pending->done_cv.notify_all();
    return G_SOURCE_REMOVE;
}

// PRETTY_NAME of /etc/os-release, unquoted; empty when there is none.
std::string distribution_name() {
    std::ifstream in("/etc/os-release");
    std::string line;
    for (int n = 0; n < 100 && std::getline(in, line); ++n) {
        if (line.rfind("PRETTY_NAME=", 0) != 0)
            continue;
        std::string value = line.substr(12, 200);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\''))
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::string();
}

// The socket by which a later start of the installation at `dir` reaches its running launcher.
// Abstract (nothing on disk to leave behind or to plant a link at, and no 108-byte limit on a
// deep exe_dir), named after a hash of exe_dir so that each installation has its own.
sockaddr_un later_start_address(const std::string& dir, socklen_t& length) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : dir) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char name[48];
    const int size = std::snprintf(name, sizeof name, "keldmoor-ashvow-launcher-%016llx",
                                   static_cast<unsigned long long>(hash));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, static_cast<std::size_t>(size));  // [0] stays NUL
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
    return address;
}

// Whoever is at the other end of `fd`, as the system saw it connect (or listen).
bool peer_is(int fd, unsigned long process) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid() &&
           (process == 0 || static_cast<unsigned long>(peer.pid) == process);
}

gboolean on_later_start(gint listener, GIOCondition, gpointer) {
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0)
        return G_SOURCE_CONTINUE;
    // Every local account can reach an abstract socket: only our own user's starts count.
    if (peer_is(peer, 0) && gtk::main_window)
        gtk_window_present(gtk::main_window);
    ::close(peer);
    return G_SOURCE_CONTINUE;
}

}  // namespace

bool window_exists() {
    return gtk::window_created.load();
}

bool post_ui_event_text(const std::string& json) {
    if (!window_exists())
        return false;
    if (gtk::queued_events.fetch_add(1) >= gtk::queue_limit) {
        gtk::queued_events.fetch_sub(1);
        return false;
    }
    try {
        g_idle_add_full(G_PRIORITY_DEFAULT, deliver_queued_event, new std::string(json), nullptr);
    } catch (...) {
        gtk::queued_events.fetch_sub(1);
        return false;
    }
    return true;
}

bool post_window_request(WindowRequest request) {
    if (!window_exists())
        return false;
    g_idle_add_full(G_PRIORITY_DEFAULT, handle_request, GINT_TO_POINTER(static_cast<int>(request)),
                    nullptr);
    return true;
}

void end_message_loop() {
    if (gtk_main_level() > 0)
        gtk_main_quit();
}

void minimize_window() {
    if (gtk::main_window)
        gtk_window_iconify(gtk::main_window);
}

void begin_window_drag() {
    if (!gtk::main_window)
        return;
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(gtk::main_window));
    GdkSeat* seat = display ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!pointer)
        return;
    gint x = 0;
    gint y = 0;
    gdk_device_get_position(pointer, nullptr, &x, &y);
    gtk_window_begin_move_drag(gtk::main_window, GDK_BUTTON_PRIMARY, x, y,
                               gtk_get_current_event_time());
}

int message_box(const std::string& text, const std::string& caption, unsigned style,
                bool owned_by_main_window) {
    if (gtk::on_window_thread())
        return run_dialog(text, caption, style, owned_by_main_window);
    // Once the loop has ended the process is on its way out and nobody could answer; GTK may
    // not be driven from this thread, so the box's own default stands.
    if (!gtk::loop_running.load())
        return (style & 0x0F) == mb_okcancel ? id_cancel : id_ok;
    auto pending = std::make_shared<PendingBox>();
    pending->text = text;
    pending->caption = caption;
    pending->style = style;
    pending->owned = owned_by_main_window;
    g_idle_add_full(G_PRIORITY_DEFAULT, show_pending_box, new std::shared_ptr<PendingBox>(pending),
                    nullptr);
    std::unique_lock<std::mutex> hold(pending->mutex);
    pending->answered_cv.wait(hold, [&] { return pending->answered; });
    return pending->answer;
}

void shell_open(const std::string& target) {
    if (target.empty())
        return;
    std::string uri = target;
    gchar* scheme = g_uri_parse_scheme(target.c_str());
    if (!scheme && g_path_is_absolute(target.c_str())) {
        gchar* file_uri = g_filename_to_uri(target.c_str(), nullptr, nullptr);
        if (file_uri) {
            uri = file_uri;
            g_free(file_uri);
        }
    }
    g_free(scheme);
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error))
        g_clear_error(&error);
}

void shell_open_program(const std::string& file, const std::string& directory) {
    start_unwaited({file}, directory, false);
}

bool start_game(const std::string& executable, const std::string& parameters,
                const std::string& directory) {
    std::vector<std::string> args{executable};
    for (auto& arg : split_windows_command_line(parameters))
        args.push_back(std::move(arg));
    return start_unwaited(args, directory, false);
}

bool start_detached(const std::string& command_line, const std::string& directory) {
    return start_unwaited(split_program_command_line(command_line), directory, true);
}

bool run_and_wait(const std::string& command_line) {
    const pid_t pid = spawn_process(split_program_command_line(command_line), "", false, true);
    if (pid < 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

void relaunch_self(const std::string& program, void (*on_failure)()) {
    // The new image keeps this process's id, so whoever waits for the launcher keeps waiting.
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    execv(program.c_str(), argv);
    if (on_failure)
        on_failure();
    _exit(1);
}

void set_environment_variable(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> hold(gtk::environment_mutex());
    setenv(name.c_str(), value.c_str(), 1);
}

std::string get_module_path() {
    // Read once: like the loaded module's name on Windows, the answer must not follow the
    // file when the self-update renames it to ".old" (the kernel's link would then name the
    // old copy, and the restart would run the wrong file).
    static const std::string path = [] {
        std::vector<char> buffer(PATH_MAX + 1, '\0');
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
        return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length))
                          : std::string();
    }();
    return path;
}

void accept_later_starts(const std::string& dir) {
    socklen_t length = 0;
    const sockaddr_un address = later_start_address(dir, length);
    // Closed on exec, so that the self-update's new image can listen under the same name.
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0)
        return;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(listener, 8) != 0) {
        ::close(listener);  // the name is taken: later starts then only end
        return;
    }
    g_unix_fd_add(listener, G_IO_IN, on_later_start, nullptr);
}

bool present_running_launcher(const std::string& dir, unsigned long holder) {
    socklen_t length = 0;
    const sockaddr_un address = later_start_address(dir, length);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Only the holder's own socket counts, not one another process took the name with.
    const bool reached = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                         peer_is(fd, holder);
    ::close(fd);
    return reached;
}

bool webview_runtime_present() {
    return true;
}

std::string webview_runtime_version() {
    return "WebKitGTK " + std::to_string(webkit_get_major_version()) + "." +
           std::to_string(webkit_get_minor_version()) + "." +
           std::to_string(webkit_get_micro_version());
}

std::string os_description() {
    struct utsname name {};
    std::string text = uname(&name) == 0
                           ? std::string(name.sysname) + " " + name.release + " " + name.machine
                           : std::string("Linux");
    const std::string distribution = distribution_name();
    if (!distribution.empty())
        text += " (" + distribution + ")";
    return text;
}

std::string user_home_folder() {
    const gchar* home = g_get_home_dir();
    return home ? std::string(home) : std::string();
}

bool set_clipboard_text(const std::string& text) {
    if (gtk::on_window_thread())
        return copy_on_window_thread(text);
    // GTK may not be driven from this thread; without a running loop nobody would do it.
    if (!gtk::loop_running.load())
        return false;
    auto pending = std::make_shared<PendingCopy>();
    pending->text = text;
    g_idle_add_full(G_PRIORITY_DEFAULT, copy_pending, new std::shared_ptr<PendingCopy>(pending),
                    nullptr);
    std::unique_lock<std::mutex> hold(pending->mutex);
    pending->done_cv.wait_for(hold, std::chrono::seconds(2), [&] { return pending->done; });
    return pending->done && pending->copied;
}

}  // namespace km::platform
