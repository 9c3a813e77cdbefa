#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/log.h"
#include "launcher/installation_claim.h"
#include "platform/fake/fake_platform.h"
#include "platform/installation_lock.h"
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
              "host =  " + former + " \t\nport=8081\nhttps=1\nunknown=1\ndownload_limit=5\n");
    launcher_config = LauncherConfig{};
    load_launcher_config();
    LauncherConfig written;
    load_config(ini(), written);
    EXPECT_EQ(launcher_config.host + written.host,
              std::string(build::default_host) + build::default_host);
    EXPECT_EQ(written.port, 8081);
    EXPECT_EQ(written.download_limit, 5);
    EXPECT_TRUE(written.https);
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
    fake::state().home = dir.str();
    EXPECT_EQ(run_startup_before_window(module()), -1);
    EXPECT_TRUE(std::filesystem::exists(ini()));
    EXPECT_TRUE(fake::state().message_boxes.empty());
    // Start-up is written down first, without the user's own folder.
    finish_after_window(0);
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    const std::string eol = build::windows_path_rules ? "\r\n" : "\n";
    const std::string log = dir.read("cache/launcher.log");
    EXPECT_EQ(log.substr(23, log.find(eol) + eol.size() - 23),
              std::string("Z start version=") + build::launcher_version +
                  " os=\"TestOS 9.1 x64\" webview=\"TestView 1.2.3\" folder=\"" +
                  without_home(dir.str(), dir.str(), build::windows_path_rules) + "\"" + eol);
    EXPECT_TRUE(log.ends_with("Z end exit code 0" + eol)) << log;
    log_open("", "");
}

// Another launcher of the folder, as its lock shows it: none (but a link planted where the lock
// file goes, which is removed, never followed), running with its window, or handing over to the
// launcher it started and ending 300 ms later.
TEST_F(Startup, OneLauncherPerFolderFromTheFirstStep) {
    test::TempDir elsewhere;
    elsewhere.write("keep.txt", "precious");
    const std::filesystem::path lock = dir.path() / platform::installation_lock_name;
    const struct {
        const char* name;
        bool other, handing_over;
        int code;
    } cases[] = {{"free folder", false, false, -1},
                 {"a launcher runs", true, false, 0},
                 {"a restart waits for the hand-over", true, true, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        release_installation();  // what the row before took
        platform::InstallationLock other;
        std::error_code ec;
        std::filesystem::remove(lock, ec);
        std::filesystem::create_symlink(elsewhere.path() / "keep.txt", lock, ec);  // not Wine
        if (c.other) {
            ASSERT_EQ(other.take(dir.str()), platform::InstallationLock::State::taken);
            other.write_note({4242, c.handing_over});
        }
        // A second start must not even finish a pending self-update.
        dir.write("Launcher.update", "next");
        std::thread ends([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (c.handing_over)
                other.release();
        });
        int code = 2;
        try {
            code = run_startup_before_window(module());
        } catch (const fake::Relaunched&) {
            code = -1;  // took the folder, finished the update and restarted
        }
        ends.join();
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(fake::state().presented, std::vector<unsigned long>(c.code == 0, 4242));
        EXPECT_EQ(dir.read("Launcher.update").empty(), c.code == -1);
        EXPECT_FALSE(std::filesystem::is_symlink(lock));
        EXPECT_EQ(elsewhere.read("keep.txt"), "precious");
        platform::LockNote note;
        other.release();
        EXPECT_EQ(platform::read_lock_note(dir.str(), note) ? note.process : 0,
                  c.code == -1 ? platform::current_process_id() : 4242);
    }
}

}  // namespace
}  // namespace km
