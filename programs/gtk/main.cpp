// The Linux launcher's entry point: start-up, the main window and the web view that shows the
// page and carries its messages both ways.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "km/gtk/bridge_js.h"
#include "km/gtk/launcher_icon_png.h"
#include "launcher/commands.h"
#include "launcher/common/app_state.h"
#include "launcher/common/log.h"
#include "launcher/startup.h"
#include "platform/gtk/gtk_host.h"
#include "platform/page_delivery.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace {

constexpr int window_width = 1100;
constexpr int window_height = 720;

void on_page_message(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!value || !jsc_value_is_string(value))
        return;
    gchar* text = jsc_value_to_string(value);
    try {
        km::handle_page_command(text ? text : "");
    } catch (...) {
        // A command that fails must not take the window's thread down with it.
    }
    g_free(text);
}

GdkPixbuf* load_icon() {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (!loader)
        return nullptr;
    GdkPixbuf* icon = nullptr;
    if (gdk_pixbuf_loader_write(loader, launcher_icon_png, launcher_icon_png_size, nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        icon = gdk_pixbuf_loader_get_pixbuf(loader);
        if (icon)
            g_object_ref(icon);
    }
    g_object_unref(loader);
    return icon;
}

// The window-level drag strip: presses that reach the window itself rather than the page.
gboolean on_window_button_press(GtkWidget* widget, GdkEventButton* event, gpointer) {
    if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY)
        return FALSE;
    gint origin_x = 0;
    gint origin_y = 0;
    gdk_window_get_origin(gtk_widget_get_window(widget), &origin_x, &origin_y);
    const int x = static_cast<int>(event->x_root) - origin_x;
    const int y = static_cast<int>(event->y_root) - origin_y;
    if (!km::drag_strip_hit(x, y, gtk_widget_get_allocated_width(widget)))
        return FALSE;
    gtk_window_begin_move_drag(GTK_WINDOW(widget), static_cast<gint>(event->button),
                               static_cast<gint>(event->x_root), static_cast<gint>(event->y_root),
                               event->time);
    return TRUE;
}

// A close request from the window manager (Alt+F4) ends the loop; the window stays.
gboolean on_delete(GtkWidget*, GdkEvent*, gpointer) {
    km::platform::end_message_loop();
    return TRUE;
}

// The page's own process ended under the view: the window shows nothing until a reload.
void on_web_process_terminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
    const char* why = reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed"
                      : reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                          ? "exceeded its memory limit"
                          : "was ended";
    km::log_event("webview", std::string("the web process ") + why);
}

gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer) {
    km::log_event("page", "load failed: " + km::log_quoted(error ? error->message : "unknown"));
    return FALSE;  // the view shows its own error page
}

// The page's zoom is fixed: Ctrl with the wheel does not reach the view.
gboolean on_scroll(GtkWidget*, GdkEventScroll* event, gpointer) {
    return (event->state & GDK_CONTROL_MASK) ? TRUE : FALSE;
}

gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer) {
    if (!(event->state & GDK_CONTROL_MASK))
        return FALSE;
    switch (event->keyval) {
        case GDK_KEY_plus:
        case GDK_KEY_minus:
        case GDK_KEY_equal:
        case GDK_KEY_0:
        case GDK_KEY_KP_Add:
        case GDK_KEY_KP_Subtract:
        case GDK_KEY_KP_0:
            return TRUE;
        default:
            return FALSE;
    }
}

GtkWindow* create_main_window() {
    GtkWidget* widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(widget);
    gtk_window_set_title(window, km::launcher_config.title.c_str());
    gtk_window_set_decorated(window, FALSE);
    gtk_window_set_resizable(window, FALSE);
    gtk_widget_set_size_request(widget, window_width, window_height);
    gtk_window_set_default_size(window, window_width, window_height);

    if (GdkPixbuf* icon = load_icon()) {
        gtk_window_set_icon(window, icon);
        gtk_window_set_default_icon(icon);
        g_object_unref(icon);
    }

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "window { background-color: rgb(10, 11, 18); }", -1,
                                    nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    // Centred on the primary monitor; on a smaller screen the position goes negative.
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display)
        monitor = gdk_display_get_monitor(display, 0);
    if (monitor) {
        GdkRectangle area{};
        gdk_monitor_get_geometry(monitor, &area);
        gtk_window_move(window, area.x + (area.width - window_width) / 2,
                        area.y + (area.height - window_height) / 2);
    }

    gtk_widget_add_events(widget, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(widget, "button-press-event", G_CALLBACK(on_window_button_press), nullptr);
    g_signal_connect(widget, "delete-event", G_CALLBACK(on_delete), nullptr);
    return window;
}

WebKitWebView* create_web_view() {
    const std::string profile = km::exe_dir + "/cache/webview";
    WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
        "base-data-directory", profile.c_str(), "base-cache-directory", profile.c_str(), nullptr);
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::kmLauncher", G_CALLBACK(on_page_message),
                     nullptr);
    webkit_user_content_manager_register_script_message_handler(content, "kmLauncher");
    WebKitUserScript* shim = webkit_user_script_new(
        reinterpret_cast<const gchar*>(bridge_js), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, shim);
    webkit_user_script_unref(shim);

    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);

    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                              "user-content-manager", content, "settings", settings,
                                              nullptr));
    g_object_unref(settings);
    g_object_unref(content);
    g_object_unref(context);

    const GdkRGBA background{10.0 / 255.0, 11.0 / 255.0, 18.0 / 255.0, 1.0};
    webkit_web_view_set_background_color(view, &background);
    g_signal_connect(view, "context-menu",
                     G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                    WebKitHitTestResult*, gpointer) -> gboolean { return TRUE; }),
                     nullptr);
    g_signal_connect(view, "scroll-event", G_CALLBACK(on_scroll), nullptr);
    g_signal_connect(view, "key-press-event", G_CALLBACK(on_key_press), nullptr);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(on_web_process_terminated),
                     nullptr);
    g_signal_connect(view, "load-failed", G_CALLBACK(on_load_failed), nullptr);
    return view;
}

int run(int argc, char** argv) {
    g_set_prgname("KMAshvowLauncher");
    if (!gtk_init_check(&argc, &argv)) {
        std::fputs("Launcher: no display to open the window on\n", stderr);
        return 1;
    }
    km::gtk::mark_window_thread();

    const std::string module_path = km::platform::get_module_path();
    const int code = km::run_startup_before_window(module_path);
    if (code != -1)
        return code;

    km::gtk::main_window = create_main_window();
    km::gtk::set_window_exists();
    gtk_widget_show(GTK_WIDGET(km::gtk::main_window));
    km::platform::accept_later_starts(km::exe_dir);

    km::gtk::web_view = create_web_view();
    gtk_container_add(GTK_CONTAINER(km::gtk::main_window), GTK_WIDGET(km::gtk::web_view));
    gtk_widget_show(GTK_WIDGET(km::gtk::web_view));
    km::set_page_sink(km::gtk::send_text_to_page);
    km::log_event("page", "load " + km::log_quoted(km::exe_dir + "/web/index.html"));
    webkit_web_view_load_uri(km::gtk::web_view, km::page_url(km::exe_dir).c_str());
    gtk_widget_grab_focus(GTK_WIDGET(km::gtk::web_view));

    km::gtk::set_loop_running(true);
    gtk_main();
    km::gtk::set_loop_running(false);
    km::finish_after_window(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int code = 1;
    try {
        code = run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Launcher: %s\n", error.what());
    }
    // Workers are never joined and may still be running. Returning would run the static
    // destructors while they can still read the objects being destroyed (the configuration, the
    // flags); ending the process here stops every thread first, as the Windows shell does.
    std::fflush(nullptr);
    std::_Exit(code);
}
