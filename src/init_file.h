// The sensor init file's text, read once for a run: the scans and the interpreter all read it.
#ifndef TOLVA_INIT_FILE_H
#define TOLVA_INIT_FILE_H

#include <string>

// Reads the init file at `fname` and keeps its text for the run: from then on every reading of
// that path comes from memory, so the receiver's set-up, the sensor's programming and the
// driver's messages all follow the one text. False (nothing kept) when it cannot be read.
bool keep_init_file(const char *fname);

// The text of the init file at `fname`: the kept one when it is that path, else the file's
// own. False when the file cannot be opened.
bool read_init_file(const char *fname, std::string &text);

#endif
