#include "launcher/startup.h"

#include <filesystem>
#include <system_error>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/config/launcher_config.h"
#include "platform/platform.h"
#include "updater/staging.h"

namespace km {
namespace {

bool is_separator(char c, bool windows_rules) {
    return c == '/' || (windows_rules && c == '\\');
}

// Length of the root name: "C:" for a drive, "\\server\share" for a network share.
std::size_t root_name_length(const std::string& path, bool windows_rules) {
    if (!windows_rules)
        return 0;
    const std::size_t n = path.size();
    if (n >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        return 2;
    }
    if (n >= 3 && is_separator(path[0], true) && is_separator(path[1], true) &&
        !is_separator(path[2], true)) {
        std::size_t i = 2;
        while (i < n && !is_separator(path[i], true))
            ++i;  // server
        if (i < n) {
            ++i;
            while (i < n && !is_separator(path[i], true))
                ++i;  // share
        }
        return i;
    }
    return 0;
}

bool exists_quietly(const std::string& path) {
    // An error of the query itself (a bad network path, an invalid name) counts as absence.
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(path), ec) && !ec;
}

const char consent_text[] =
    "Para abrir el Launcher necesitas instalar Microsoft WebView2 (componente requerido por "
    "Windows).\n\nSe descargara automaticamente (~2 MB) e instalara en silencio.\nEl proceso "
    "tarda ~1 minuto y no requiere reiniciar Windows.\n\nPresiona Aceptar para instalarlo ahora.";
const char missing_installer_text[] =
    "No se encontro el instalador (MicrosoftEdgeWebView2Setup.exe).\nReinstala el Launcher o "
    "descarga WebView2 manualmente desde:\n";
const char failed_start_text[] =
    "No se pudo iniciar el instalador de WebView2.\nProb\xC3\xA1 ejecutar el Launcher como "
    "administrador.";
const char still_missing_text[] =
    "La instalacion de WebView2 no se completo.\nDescargalo manualmente desde:\n";

void error_box(const std::string& text) {
    platform::message_box(text, "Launcher", platform::mb_ok | platform::mb_iconerror, false);
}

}  // namespace

std::string compute_exe_dir(const std::string& module_path, bool windows_rules) {
    const std::size_t n = module_path.size();
    std::size_t root_end = root_name_length(module_path, windows_rules);
    if (root_end < n && is_separator(module_path[root_end], windows_rules))
        ++root_end;
    if (root_end == n)
        return module_path;  // only a root: it is its own parent
    std::size_t end = n;
    while (end > root_end && !is_separator(module_path[end - 1], windows_rules))
        --end;
    while (end > root_end && is_separator(module_path[end - 1], windows_rules))
        --end;
    return module_path.substr(0, end);
}

void load_launcher_config() {
    const std::string path = exe_path("launcher.ini");
    load_config(path, launcher_config);
    if (launcher_config.host == build::former_default_host) {
        launcher_config.host = build::default_host;
        save_config(path, launcher_config);
    }
    if (!exists_quietly(path))
        save_config(path, launcher_config);
}

std::string file_url(const std::string& local_path) {
    std::string path = local_path;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    // Characters that would end the path part or are not allowed in a URL are escaped, so a
    // folder named "Games #2" or "Jugar 100%" still loads its page and its images.
    static const char hex[] = "0123456789ABCDEF";
    std::string escaped;
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = c > 0x20 && c < 0x7F && c != '"' && c != '#' && c != '%' && c != '<' &&
                          c != '>' && c != '?' && c != '[' && c != ']' && c != '^' && c != '`' &&
                          c != '{' && c != '|' && c != '}';
        if (keep) {
            escaped += ch;
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 0xF];
        }
    }
    if (escaped.compare(0, 2, "//") == 0)
        return "file:" + escaped;  // \\server\share
    if (escaped.compare(0, 1, "/") == 0)
        return "file://" + escaped;
    return "file:///" + escaped;
}

std::string page_url(const std::string& dir) {
    std::string path = dir;
    // "C:\" and "/" keep their separator in exe_dir; the URL must not get an empty segment.
    while (!path.empty() && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
    return file_url(path + "/web/index.html");
}

bool drag_strip_hit(int client_x, int client_y, int client_width) {
    if (static_cast<unsigned>(client_y) > 35u)
        return false;
    if (client_x < 0)
        return false;
    if (static_cast<long long>(client_x) >= static_cast<long long>(client_width) - 92) {
        return false;
    }
    return true;
}

bool install_webview_runtime(const std::string& dir, const std::string& module_path) {
    const int answer =
        platform::message_box(consent_text, "Keldmoor Ashvow Launcher",
                              platform::mb_okcancel | platform::mb_iconinformation, false);
    if (answer != platform::id_ok)
        return false;

    const std::string installer = dir + build::path_separator + "MicrosoftEdgeWebView2Setup.exe";
    if (!exists_quietly(installer)) {
        error_box(std::string(missing_installer_text) + build::webview2_download_url);
        return false;
    }
    if (!platform::run_and_wait("\"" + installer + "\" /silent /install")) {
        error_box(failed_start_text);
        return false;
    }
    if (platform::webview_runtime_present()) {
        platform::shell_open_program(module_path, dir);
        return true;
    }
    error_box(std::string(still_missing_text) + build::webview2_download_url +
              "\ny volve a abrir el Launcher.");
    return false;
}

int run_startup_before_window(const std::string& module_path) {
    exe_dir = compute_exe_dir(module_path, build::windows_path_rules);
    if (!platform::webview_runtime_present()) {
        return install_webview_runtime(exe_dir, module_path) ? 0 : 1;
    }
    const bool replaced = updater::apply_pending_update(module_path);
    updater::remove_old_copy(module_path);
    if (replaced)
        updater::relaunch_self();
    load_launcher_config();
    return -1;
}

}  // namespace km
