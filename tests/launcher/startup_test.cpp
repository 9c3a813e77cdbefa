#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/launcher/app_state_scope.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

TEST(ExeDir, IsTheFolderOfTheModule) {
    const std::pair<const char*, const char*> windows[] = {
        {"C:\\Games\\Launcher\\Launcher.exe", "C:\\Games\\Launcher"},
        {"c:\\\\Launcher.exe", "c:\\"},
        {"C:\\Games/Launcher/", "C:\\Games/Launcher"},
        {"C:\\", "C:\\"},
        {"C:L.exe", "C:"},
        {"\\\\server\\share\\L.exe", "\\\\server\\share\\"},
        {"\\\\server\\share\\km\\L.exe", "\\\\server\\share\\km"},
        {"L.exe", ""}};
    for (const auto& c : windows)
        EXPECT_EQ(compute_exe_dir(c.first, true), c.second) << c.first;
    const std::pair<const char*, const char*> posix[] = {{"/opt/km//L", "/opt/km"},
                                                         {"/L", "/"},
                                                         {"/", "/"},
                                                         {"/a\\b/L", "/a\\b"},
                                                         {"C:\\L.exe", ""}};
    for (const auto& c : posix)
        EXPECT_EQ(compute_exe_dir(c.first, false), c.second) << c.first;
}

TEST(DragStrip, TopRowsLeftOfTheButtonsDragTheWindow) {
    const struct {
        int x, y, width;
        bool caption;
    } cases[] = {{10, 35, 1100, true},    {10, 36, 1100, false}, {10, -1, 1100, false},
                 {-1, 10, 1100, false},   {0, 10, 1100, true},   {1007, 10, 1100, true},
                 {1008, 10, 1100, false}, {5, 5, INT_MIN, false}};
    for (const auto& c : cases)
        EXPECT_EQ(drag_strip_hit(c.x, c.y, c.width), c.caption) << c.x << "," << c.y;
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    std::string ini() const { return (dir.path() / "launcher.ini").string(); }
    std::string module() const { return dir.str() + build::path_separator + "Launcher"; }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(Startup, OnlyTheExactFormerHostIsMigratedAndWrittenBack) {
    const std::string former = build::former_default_host;
    for (const std::string& host : {former + "0", "x" + former, former.substr(0, 11)}) {
        dir.write("launcher.ini", "host=" + host + "\n");
        load_launcher_config();
        EXPECT_EQ(launcher_config.host + dir.read("launcher.ini"), host + "host=" + host + "\n");
    }
    dir.write("launcher.ini",
              "host =  " + former + " \t\nport=8081\nunknown=1\ndownload_limit=5\n");
    launcher_config = LauncherConfig{};
    load_launcher_config();
    LauncherConfig written;
    load_config(ini(), written);
    EXPECT_EQ(launcher_config.host + written.host,
              std::string(build::default_host) + build::default_host);
    EXPECT_EQ(written.port, 8081);
    EXPECT_EQ(written.download_limit, 5);
}

TEST_F(Startup, RuntimeInstallerTellsWhatWentWrong) {
    const std::string url = build::webview2_download_url;
    const std::string setup = dir.str() + build::path_separator + "MicrosoftEdgeWebView2Setup.exe";
    const std::string consent =
        "Keldmoor Ashvow Launcher/" +
        std::to_string(platform::mb_okcancel | platform::mb_iconinformation) +
        "0:Para abrir el Launcher necesitas instalar Microsoft WebView2 (componente requerido por "
        "Windows).\n\nSe descargara automaticamente (~2 MB) e instalara en silencio.\nEl proceso "
        "tarda ~1 minuto y no requiere reiniciar Windows.\n\nPresiona Aceptar para instalarlo "
        "ahora.\n";
    const std::string error =
        "Launcher/" + std::to_string(platform::mb_ok | platform::mb_iconerror) + "0:";
    const struct {
        bool accept, setup_present, starts, installs;
        std::string error;
    } cases[] = {
        {false, true, true, true, ""},
        {true, false, true, true,
         "No se encontro el instalador (MicrosoftEdgeWebView2Setup.exe).\nReinstala el Launcher o "
         "descarga WebView2 manualmente desde:\n" +
             url},
        {true, true, false, true,
         "No se pudo iniciar el instalador de WebView2.\nProb\xC3\xA1 ejecutar el Launcher como "
         "administrador."},
        {true, true, true, false,
         "La instalacion de WebView2 no se completo.\nDescargalo manualmente desde:\n" + url +
             "\ny volve a abrir el Launcher."},
        {true, true, true, true, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);  // the consent box first, then at most one error box
        fake::reset();
        std::filesystem::remove(setup);
        if (c.setup_present)
            dir.write("MicrosoftEdgeWebView2Setup.exe", "MZ");
        fake::state().message_box_answers = {c.accept ? platform::id_ok : platform::id_cancel};
        fake::state().run_and_wait_result = c.starts;
        fake::state().runtime_answers = {false};  // missing at start-up
        fake::state().runtime_present = c.installs;
        const bool installed = c.accept && c.error.empty();
        // Start-up ends here either way; the configuration waits for the next start.
        EXPECT_EQ(run_startup_before_window(module()), installed ? 0 : 1);
        EXPECT_FALSE(std::filesystem::exists(ini()));
        const auto& s = fake::state();
        std::string boxes;
        for (const auto& box : s.message_boxes)
            boxes += box.caption + "/" + std::to_string(box.style) +
                     std::to_string(box.owned_by_main_window) + ":" + box.text + "\n";
        EXPECT_EQ(boxes, consent + (c.error.empty() ? "" : error + c.error + "\n"));
        const bool ran = c.accept && c.setup_present;
        EXPECT_EQ(s.waited, std::vector<std::string>(ran, "\"" + setup + "\" /silent /install"));
        ASSERT_EQ(s.programs_opened.size(), installed ? 1u : 0u);
        for (const auto& opened : s.programs_opened)
            EXPECT_EQ(opened.command_line + "|" + opened.directory, module() + "|" + dir.str());
    }
}

TEST_F(Startup, WithTheRuntimeStartUpGoesOnToTheConfiguration) {
    EXPECT_EQ(run_startup_before_window(module()), -1);
    EXPECT_TRUE(std::filesystem::exists(ini()));
    EXPECT_TRUE(fake::state().message_boxes.empty());
}

}  // namespace
}  // namespace km
