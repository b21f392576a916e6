// The scripted window seam: win_* answer from the test's script and record every call.
#include "window_script.h"

#include "window.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tolva::test {

WindowScript &WindowScript::get()
{
    static WindowScript script;
    return script;
}

void WindowScript::reset()
{
    steps_.clear();
    hook_ = nullptr;
    keep_last_only_ = false;
    waits_ = 0;
    open_.clear();
    callbacks_.clear();
    show_counts_.clear();
    places_.clear();
    changes_.clear();
    shown_.clear();
}

void WindowScript::add(ScriptStep step) { steps_.push_back(std::move(step)); }

void WindowScript::add_keys(const std::vector<int> &keys)
{
    for (int key : keys) {
        add({key, {}});
    }
}

int WindowScript::count_changes(WindowChange::Kind kind, const std::string &window) const
{
    return static_cast<int>(std::count_if(changes_.begin(), changes_.end(), [&](const auto &c) {
        return c.kind == kind && c.window == window;
    }));
}

int WindowScript::created(const std::string &window) const
{
    return count_changes(WindowChange::Created, window);
}

int WindowScript::destroyed(const std::string &window) const
{
    return count_changes(WindowChange::Destroyed, window);
}

int WindowScript::shows(const std::string &window) const
{
    auto it = show_counts_.find(window);
    return it == show_counts_.end() ? 0 : it->second;
}

const ShownImage *WindowScript::last_shown(const std::string &window) const
{
    auto it = std::find_if(shown_.rbegin(), shown_.rend(),
                           [&](const ShownImage &s) { return s.window == window; });
    return it == shown_.rend() ? nullptr : &*it;
}

void WindowScript::create(const std::string &name, int flags)
{
    open_[name] = flags;
    changes_.push_back({WindowChange::Created, name, flags});
}

void WindowScript::named_window(const std::string &name, int flags)
{
    // As highgui: naming an open window again changes nothing.
    if (!is_open(name)) {
        create(name, flags);
    }
}

void WindowScript::move_window(const std::string &name, cv::Point to)
{
    if (is_open(name)) {
        places_[name] = to;
    }
}

cv::Rect WindowScript::image_rect(const std::string &name) const
{
    const ShownImage *image = last_shown(name);
    if (!is_open(name)) {
        return {};
    }
    auto place = places_.find(name);
    return {place == places_.end() ? cv::Point() : place->second, image ? image->size : cv::Size()};
}

void WindowScript::imshow(const std::string &name, const cv::Mat &image)
{
    if (!is_open(name)) {
        create(name, cv::WINDOW_AUTOSIZE);
    }
    ++show_counts_[name];
    if (keep_last_only_) {
        shown_.erase(std::remove_if(shown_.begin(), shown_.end(),
                                    [&](const ShownImage &s) { return s.window == name; }),
                     shown_.end());
    }
    shown_.push_back({name, image.size(), image.type(), image.clone()});
}

void WindowScript::deliver(const MouseEvent &event)
{
    auto it = callbacks_.find(event.window);
    if (it == callbacks_.end()) {
        ADD_FAILURE() << "script: mouse event for window \"" << event.window
                      << "\", which has no mouse callback";
        return;
    }
    it->second.function(event.event, event.x, event.y, event.flags, it->second.userdata);
}

int WindowScript::wait_key()
{
    int pass = waits_++;
    if (hook_) {
        hook_(pass);
    }
    if (pass >= static_cast<int>(steps_.size())) {
        return -1;
    }
    // A copy: a callback or the hook may add steps.
    ScriptStep step = steps_[pass];
    for (const MouseEvent &event : step.mouse) {
        deliver(event);
    }
    return step.key;
}

void WindowScript::destroy_window(const std::string &name)
{
    // highgui (Qt) ignores an unknown name, but fails when no window exists at all.
    if (open_.empty()) {
        CV_Error(cv::Error::StsNullPtr, "NULL guiReceiver (please create a window)");
    }
    if (open_.erase(name) != 0) {
        callbacks_.erase(name);
        places_.erase(name);
        changes_.push_back({WindowChange::Destroyed, name, 0});
    }
}

void WindowScript::set_mouse_callback(const std::string &name, cv::MouseCallback callback,
                                      void *userdata)
{
    // highgui refuses a callback for a window that does not exist.
    if (!is_open(name)) {
        CV_Error(cv::Error::StsNullPtr, "NULL window: '" + name + "'");
    }
    callbacks_[name] = {callback, userdata};
}

} // namespace tolva::test

using tolva::test::WindowScript;

void win_namedWindow(const std::string &name, int flags)
{
    WindowScript::get().named_window(name, flags);
}

void win_imshow(const std::string &name, const cv::Mat &image)
{
    WindowScript::get().imshow(name, image);
}

int win_waitKey(int) { return WindowScript::get().wait_key(); }

void win_destroyWindow(const std::string &name) { WindowScript::get().destroy_window(name); }

void win_setMouseCallback(const std::string &name, cv::MouseCallback callback, void *userdata)
{
    WindowScript::get().set_mouse_callback(name, callback, userdata);
}

void win_moveWindow(const std::string &name, int x, int y)
{
    WindowScript::get().move_window(name, cv::Point(x, y));
}

cv::Rect win_getWindowImageRect(const std::string &name)
{
    return WindowScript::get().image_rect(name);
}
