// Work handed to the gateway's main loop (the default GLib main context,
// where libsoup and the RTSP server run) from any thread: a pipeline's
// streaming thread, the library's delivery thread, a worker.
#pragma once

#include <glib.h>

#include <functional>
#include <memory>

namespace kn::gateway {

// Runs f once on the main loop.
inline void OnMainLoop(std::function<void()> f)
{
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()> *>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(f)),
        [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
}

// Runs f once on the main loop if alive still lives then (the owner of
// what f touches clears it as it goes).
inline void OnMainLoop(std::weak_ptr<bool> alive, std::function<void()> f)
{
    OnMainLoop([alive = std::move(alive), f = std::move(f)] {
        if (alive.lock() != nullptr) {
            f();
        }
    });
}

}  // namespace kn::gateway
