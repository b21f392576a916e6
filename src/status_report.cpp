// The console reports of an unattended run: the status line and the storage that cannot keep up.
#include "status_report.h"

#include "disk_guard.h"

#include <cstdio>

void format_status_line(char *out, std::size_t size, const StatusFigures &s)
{
    char free_text[32] = "unknown";
    if (s.free_bytes >= 0)
        format_bytes(free_text, sizeof free_text, s.free_bytes);
    std::snprintf(
        out, size, "status: %d frames, %.1f fps, %d dropped, recording %s, %d detections, %s free",
        s.frames, s.fps, s.dropped, s.recording ? s.recording : "nothing", s.detections, free_text);
}

void format_storage_too_slow(char *out, std::size_t size, double written_per_second,
                             double needed_per_second, bool eight_bit)
{
    char written[32], needed[32];
    format_bytes(written, sizeof written, static_cast<long long>(written_per_second));
    format_bytes(needed, sizeof needed, static_cast<long long>(needed_per_second));
    std::snprintf(out, size,
                  "tolvacapture: the storage cannot keep up: frames are written at %s/s, the "
                  "sensor needs %s/s, and frames are lost; %suse a smaller sensor mode",
                  written, needed, eight_bit ? "" : "record 8-bit samples (-8) or ");
}
