#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

namespace fs = std::filesystem;

TEST(ExeDir, WindowsPaths) {
    struct Case {
        std::string module_path;
        std::string expected;
    };
    const Case cases[] = {
        {"C:\\Games\\Launcher\\Launcher.exe", "C:\\Games\\Launcher"},
        {"C:\\Launcher.exe", "C:\\"},
        {"C:/Launcher.exe", "C:/"},
        {"c:\\\\Launcher.exe", "c:\\"},
        {"C:\\Games\\\\Launcher.exe", "C:\\Games"},
        {"C:\\Games/Launcher/Launcher.exe", "C:\\Games/Launcher"},
        {"C:\\Games\\Launcher\\", "C:\\Games\\Launcher"},
        {"C:\\", "C:\\"},
        {"C:", "C:"},
        {"C:Launcher.exe", "C:"},
        {"\\\\server\\share\\Launcher\\Launcher.exe", "\\\\server\\share\\Launcher"},
        {"\\\\server\\share\\Launcher.exe", "\\\\server\\share\\"},
        {"//server/share/Launcher.exe", "//server/share/"},
        {"\\Launcher.exe", "\\"},
        {"Launcher.exe", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compute_exe_dir(c.module_path, true), c.expected) << c.module_path;
    }
}

TEST(ExeDir, PosixPaths) {
    struct Case {
        std::string module_path;
        std::string expected;
    };
    const Case cases[] = {
        {"/opt/km/Launcher", "/opt/km"},
        {"/opt/km//Launcher", "/opt/km"},
        {"/Launcher", "/"},
        {"//Launcher", "/"},
        {"/", "/"},
        {"/opt/km/", "/opt/km"},
        {"/home/a\\b/Launcher", "/home/a\\b"},  // a backslash is a name character here
        {"C:\\Games\\Launcher.exe", ""},
        {"Launcher", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compute_exe_dir(c.module_path, false), c.expected) << c.module_path;
    }
}

TEST(PageUrl, BuildsAFileUrlWithForwardSlashes) {
    struct Case {
        std::string dir;
        std::string expected;
    };
    const Case cases[] = {
        {"C:\\Games\\Launcher", "file:///C:/Games/Launcher/web/index.html"},
        {"C:\\", "file:///C:/web/index.html"},
        {"/home/ana/km", "file:///home/ana/km/web/index.html"},
        {"/", "file:///web/index.html"},
        {"\\\\server\\share\\km", "file://server/share/km/web/index.html"},
        {"C:\\My Games\\#2 100%", "file:///C:/My%20Games/%232%20100%25/web/index.html"},
        {"/home/jos\xC3\xA9/km", "file:///home/jos%C3%A9/km/web/index.html"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(page_url(c.dir), c.expected) << c.dir;
}

TEST(DragStrip, TopRowsLeftOfTheButtonsDragTheWindow) {
    struct Case {
        int x, y, width;
        bool caption;
    };
    const Case cases[] = {
        {10, 35, 1100, true},   {10, 36, 1100, false},          {10, 0, 1100, true},
        {10, -1, 1100, false},  {-1, 10, 1100, false},          {0, 10, 1100, true},
        {1007, 10, 1100, true}, {1008, 10, 1100, false},        {1099, 0, 1100, false},
        {5, 5, 50, false},      {5, 5, -2147483647 - 1, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(drag_strip_hit(c.x, c.y, c.width), c.caption)
            << c.x << "," << c.y << " in " << c.width;
    }
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    std::string ini() const { return (dir.path() / "launcher.ini").string(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(Startup, FirstStartCreatesLauncherIniWithTheDefaults) {
    load_launcher_config();
    LauncherConfig written;
    written.title = "x";
    load_config(ini(), written);
    EXPECT_EQ(written.host, build::default_host);
    EXPECT_EQ(written.title, "Keldmoor Ashvow");
    EXPECT_EQ(launcher_config.title, "Keldmoor Ashvow");
}

TEST_F(Startup, FormerDefaultHostIsMigratedAtOnce) {
    for (const std::string& line : {std::string("host=") + build::former_default_host,
                                    std::string("host =  ") + build::former_default_host + " \t"}) {
        dir.write("launcher.ini", "# old\n" + line + "\nport=8081\nunknown=1\n");
        launcher_config = LauncherConfig{};
        load_launcher_config();
        EXPECT_EQ(launcher_config.host, build::default_host);
        LauncherConfig written;
        load_config(ini(), written);
        EXPECT_EQ(written.host, build::default_host) << line;
        EXPECT_EQ(written.port, 8081);
        EXPECT_EQ(dir.read("launcher.ini").find("unknown"), std::string::npos);
    }
}

TEST_F(Startup, AnythingElseThanTheExactFormerHostStays) {
    const std::string former = build::former_default_host;
    for (const std::string& host :
         {former + ".", former + "0", former + ":81", "x" + former, former.substr(0, 11)}) {
        const std::string text = "host=" + host + "\n";
        dir.write("launcher.ini", text);
        launcher_config = LauncherConfig{};
        load_launcher_config();
        EXPECT_EQ(launcher_config.host, host);
        EXPECT_EQ(dir.read("launcher.ini"), text) << "rewritten for " << host;
    }
}

TEST_F(Startup, InstallerDeclinedShowsNothingMore) {
    fake::state().message_box_answers = {platform::id_cancel};
    EXPECT_FALSE(install_webview_runtime(dir.str(), "M"));
    const auto& s = fake::state();
    ASSERT_EQ(s.message_boxes.size(), 1u);
    EXPECT_EQ(s.message_boxes[0].caption, "Keldmoor Ashvow Launcher");
    EXPECT_EQ(s.message_boxes[0].style, platform::mb_okcancel | platform::mb_iconinformation);
    EXPECT_FALSE(s.message_boxes[0].owned_by_main_window);
    EXPECT_EQ(s.message_boxes[0].text,
              "Para abrir el Launcher necesitas instalar Microsoft WebView2 (componente "
              "requerido por Windows).\n\nSe descargara automaticamente (~2 MB) e instalara en "
              "silencio.\nEl proceso tarda ~1 minuto y no requiere reiniciar Windows.\n\nPresiona "
              "Aceptar para instalarlo ahora.");
    EXPECT_TRUE(s.waited.empty());
}

TEST_F(Startup, MissingInstallerShowsOneErrorBox) {
    EXPECT_FALSE(install_webview_runtime(dir.str(), "M"));
    const auto& s = fake::state();
    ASSERT_EQ(s.message_boxes.size(), 2u);
    EXPECT_EQ(s.message_boxes[1].caption, "Launcher");
    EXPECT_EQ(s.message_boxes[1].style, platform::mb_ok | platform::mb_iconerror);
    EXPECT_FALSE(s.message_boxes[1].owned_by_main_window);
    EXPECT_EQ(s.message_boxes[1].text,
              std::string("No se encontro el instalador (MicrosoftEdgeWebView2Setup.exe).\n"
                          "Reinstala el Launcher o descarga WebView2 manualmente desde:\n") +
                  build::webview2_download_url);
    EXPECT_TRUE(s.waited.empty());
}

TEST_F(Startup, InstallerThatCannotStart) {
    dir.write("MicrosoftEdgeWebView2Setup.exe", "MZ");
    fake::state().run_and_wait_result = false;
    EXPECT_FALSE(install_webview_runtime(dir.str(), "M"));
    const auto& s = fake::state();
    ASSERT_EQ(s.message_boxes.size(), 2u);
    EXPECT_EQ(s.message_boxes[1].text,
              "No se pudo iniciar el instalador de WebView2.\nProb\xC3\xA1 ejecutar el Launcher "
              "como administrador.");
    EXPECT_TRUE(s.programs_opened.empty());
}

TEST_F(Startup, InstallerRanButTheRuntimeIsStillMissing) {
    dir.write("MicrosoftEdgeWebView2Setup.exe", "MZ");
    fake::state().runtime_present = false;
    EXPECT_FALSE(install_webview_runtime(dir.str(), "M"));
    const auto& s = fake::state();
    const std::string installer =
        dir.str() + build::path_separator + "MicrosoftEdgeWebView2Setup.exe";
    EXPECT_EQ(s.waited, std::vector<std::string>{"\"" + installer + "\" /silent /install"});
    ASSERT_EQ(s.message_boxes.size(), 2u);
    EXPECT_EQ(s.message_boxes[1].text,
              std::string("La instalacion de WebView2 no se completo.\nDescargalo manualmente "
                          "desde:\n") +
                  build::webview2_download_url + "\ny volve a abrir el Launcher.");
    EXPECT_EQ(s.message_boxes[1].caption, "Launcher");
    EXPECT_TRUE(s.programs_opened.empty());
}

TEST_F(Startup, InstalledRuntimeStartsANewLauncher) {
    dir.write("MicrosoftEdgeWebView2Setup.exe", "MZ");
    EXPECT_TRUE(install_webview_runtime(dir.str(), "/opt/km/Launcher"));
    const auto& s = fake::state();
    EXPECT_EQ(s.message_boxes.size(), 1u);
    ASSERT_EQ(s.programs_opened.size(), 1u);
    EXPECT_EQ(s.programs_opened[0].command_line, "/opt/km/Launcher");
    EXPECT_EQ(s.programs_opened[0].directory, dir.str());
}

TEST_F(Startup, MissingRuntimeEndsStartUpBeforeTheConfiguration) {
    const std::string module = dir.str() + build::path_separator + build::launcher_exe_name;
    fake::state().runtime_present = false;
    fake::state().message_box_answers = {platform::id_cancel};
    EXPECT_EQ(run_startup_before_window(module), 1);
    EXPECT_EQ(exe_dir, dir.str());
    EXPECT_FALSE(fs::exists(ini()));

    fake::reset();
    dir.write("MicrosoftEdgeWebView2Setup.exe", "MZ");
    fake::state().runtime_answers = {false, true};
    EXPECT_EQ(run_startup_before_window(module), 0);
    EXPECT_FALSE(fs::exists(ini()));
}

TEST_F(Startup, PresentRuntimeGoesOnWithTheConfiguration) {
    const std::string module = dir.str() + build::path_separator + build::launcher_exe_name;
    EXPECT_EQ(run_startup_before_window(module), -1);
    EXPECT_EQ(exe_dir, dir.str());
    EXPECT_TRUE(fs::exists(ini()));
    EXPECT_TRUE(fake::state().message_boxes.empty());
}

}  // namespace
}  // namespace km
