// A stand-in for the game client: it records how it was started (arguments, working
// directory, launch token) in game_started.txt beside itself and shows the same in a window.
#include <gtk/gtk.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string own_directory() {
    char buffer[PATH_MAX + 1] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
    std::string path = length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "";
    const auto cut = path.find_last_of('/');
    return cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
}

std::string current_directory() {
    char buffer[PATH_MAX + 1] = {};
    return getcwd(buffer, PATH_MAX) ? buffer : "";
}

}  // namespace

int main(int argc, char** argv) {
    const char* token = std::getenv("KMASH_LAUNCH");
    std::string report = "cwd=" + current_directory() + "\n";
    report += std::string("KMASH_LAUNCH=") + (token ? token : "") + "\n";
    report += "argc=" + std::to_string(argc - 1) + "\n";
    for (int i = 1; i < argc; ++i)
        report += "arg" + std::to_string(i) + "=" + argv[i] + "\n";
    {
        std::ofstream out(own_directory() + "/game_started.txt", std::ios::binary);
        out << report;
    }
    std::fputs(report.c_str(), stdout);

    // Tests only want the record; the demo shows it until the window is closed (or for
    // KM_DEMO_GAME_SECONDS seconds).
    if (std::getenv("KM_DEMO_GAME_HEADLESS") || !gtk_init_check(&argc, &argv))
        return 0;
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Keldmoor Ashvow (demo client)");
    gtk_window_set_default_size(GTK_WINDOW(window), 520, 260);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    const std::string text = "The demo game client was started.\n\n" + report;
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    gtk_container_add(GTK_CONTAINER(window), label);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    if (const char* seconds = std::getenv("KM_DEMO_GAME_SECONDS"))
        g_timeout_add_seconds(
            static_cast<guint>(std::atoi(seconds)),
            +[](gpointer) -> gboolean {
                gtk_main_quit();
                return G_SOURCE_REMOVE;
            },
            nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
