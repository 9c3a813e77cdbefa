#include "platform/page_delivery.h"

#include <utility>

namespace km {

std::mutex webview_mutex;

namespace {
// Touched on the window's thread only.
PageSink page_sink;
}  // namespace

void set_page_sink(PageSink sink) {
    page_sink = std::move(sink);
}

bool page_view_exists() {
    return static_cast<bool>(page_sink);
}

void deliver_ui_event(const std::string& json) {
    if (!page_sink)
        return;
    std::lock_guard<std::mutex> hold(webview_mutex);
    page_sink(json);
}

}  // namespace km
