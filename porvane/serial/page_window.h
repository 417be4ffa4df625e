#pragma once

#include <cstdint>
#include <string>

namespace porvane::serial {

// What a page offers to the panels and channels it owns.
class PageWindow {
  public:
    virtual ~PageWindow() = default;

    // Delivers a notification (PageCode) and returns when the page has handled it. May be called
    // from a worker thread; the data is valid only for the duration of the call, so the page
    // copies what it keeps. The result is what the code asks for (0 when it asks nothing).
    virtual intptr_t PageNotify(uint32_t code, void* data) = 0;

    // Shows a modal message (OK button) owned by the page; text is UTF-8.
    virtual void ShowMessage(const std::string& text) = 0;

    // Called on the page's thread while it waits for a worker to end: runs any notification the
    // worker is blocked on, so that the worker can finish. Pages that deliver notifications on
    // the worker's own thread have nothing to do.
    virtual void PumpNotifications() {}
};

}  // namespace porvane::serial
