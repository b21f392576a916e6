// The scripted window seam for tests: keys and mouse events per waitKey, records of what was shown.
#ifndef TOLVA_WINDOW_SCRIPT_H
#define TOLVA_WINDOW_SCRIPT_H

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tolva::test {

struct MouseEvent {
    std::string window;
    int event;
    int x;
    int y;
    int flags = 0;
};

// One win_waitKey call: the mouse events are delivered in order to the callbacks registered on
// their windows, then `key` is returned.
struct ScriptStep {
    int key = -1;
    std::vector<MouseEvent> mouse;
};

struct WindowChange {
    enum Kind { Created, Destroyed };
    Kind kind;
    std::string window;
    int flags; // the namedWindow flags; WINDOW_AUTOSIZE when imshow created it, 0 for Destroyed
};

struct ShownImage {
    std::string window;
    cv::Size size;
    int type;
    cv::Mat image; // a copy, independent of the caller's buffer
};

// The one script and record book behind the win_* functions of a test program.
class WindowScript {
public:
    static WindowScript &get();

    // Empties the script, the records and the callbacks, removes the hook, keeps every image.
    void reset();
    void add(ScriptStep step);
    void add_keys(const std::vector<int> &keys);
    // Called at the start of each win_waitKey with the number of earlier calls.
    void on_wait(std::function<void(int pass)> hook) { hook_ = std::move(hook); }
    // Keep only the last image of each window (large frames shown many times).
    void keep_last_image_only(bool on) { keep_last_only_ = on; }

    int waits() const { return waits_; }
    // Steps in the script: the keys of passes 0 to steps() - 1.
    int steps() const { return static_cast<int>(steps_.size()); }
    bool is_open(const std::string &window) const { return open_.count(window) != 0; }
    const std::vector<WindowChange> &changes() const { return changes_; }
    int created(const std::string &window) const;
    int destroyed(const std::string &window) const;
    const std::vector<ShownImage> &shown() const { return shown_; }
    // Number of imshow calls on `window` (counted even when images are not kept).
    int shows(const std::string &window) const;
    // The last image shown in `window`, or nullptr.
    const ShownImage *last_shown(const std::string &window) const;

    // The seam's side, called by the win_* functions.
    void named_window(const std::string &name, int flags);
    void imshow(const std::string &name, const cv::Mat &image);
    int wait_key();
    void destroy_window(const std::string &name);
    void set_mouse_callback(const std::string &name, cv::MouseCallback callback, void *userdata);
    void move_window(const std::string &name, cv::Point to);
    // An open window's place (where it was moved, else the origin) and its last picture's size.
    cv::Rect image_rect(const std::string &name) const;

private:
    struct Callback {
        cv::MouseCallback function;
        void *userdata;
    };

    WindowScript() = default;
    void create(const std::string &name, int flags);
    int count_changes(WindowChange::Kind kind, const std::string &window) const;
    void deliver(const MouseEvent &event);

    std::vector<ScriptStep> steps_;
    std::function<void(int)> hook_;
    bool keep_last_only_ = false;
    int waits_ = 0;
    std::map<std::string, int> open_; // window -> flags
    std::map<std::string, Callback> callbacks_;
    std::map<std::string, int> show_counts_;
    std::map<std::string, cv::Point> places_;
    std::vector<WindowChange> changes_;
    std::vector<ShownImage> shown_;
};

} // namespace tolva::test

#endif
