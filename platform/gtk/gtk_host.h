// State shared between the Linux start-up (main.cpp) and the platform functions
// (gtk_platform.cpp). Everything here belongs to the window's thread unless marked otherwise.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

namespace km::gtk {

// The main window; null until it exists.
extern GtkWindow* main_window;
// The page's view; null until it exists.
extern WebKitWebView* web_view;

// Start-up records its thread before anything else, so that message boxes know whether they
// run on the window's thread or must be handed to it.
void mark_window_thread();
bool on_window_thread();

// Set once the main window exists (any thread may read it).
void set_window_exists();

// Whether gtk_main runs; message boxes from workers wait for it only then.
void set_loop_running(bool running);

// Hands one event text to the page as a string argument of the shim's delivery function.
void send_text_to_page(const std::string& json);

}  // namespace km::gtk
