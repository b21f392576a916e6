// Where the program's windows open: with the live window's plain frame, beside it.
#ifndef TOLVA_WINDOW_LAYOUT_H
#define TOLVA_WINDOW_LAYOUT_H

#include <string>

enum WindowPlace { PLACE_RIGHT, PLACE_BELOW, PLACE_BELOW_RIGHT };

// Opens window `name` as the live window is made (no toolbar or status bar, sized to its
// picture) and moves it to the right of window `anchor`, below it, or below and to the right,
// so that it covers no other window. An anchor that is not open leaves the window where the
// window system puts it.
void open_beside(const std::string &name, const std::string &anchor, WindowPlace place);

#endif
