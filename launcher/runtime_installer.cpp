#include "launcher/runtime_installer.h"

#include "km/build_config.h"
#include "launcher/installation_claim.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace km {
namespace {

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
        hand_over_installation();
        platform::shell_open_program(module_path, dir);
        return true;
    }
    error_box(std::string(still_missing_text) + build::webview2_download_url +
              "\ny volve a abrir el Launcher.");
    return false;
}

}  // namespace km
