// The one status line a program keeps on standard error's terminal, after
// whatever its own output has left on the current line (the number on
// stdout, say). It is drawn from the start of that line each time, never
// wider than the terminal, so a redraw never wraps, scrolls or depends on
// a saved cursor that the shell or another program may move. Only a
// process in the terminal's foreground draws, and only at a terminal that
// can move its cursor (not TERM=dumb or unset). While the line is up,
// keys typed are not echoed (an Enter would move the cursor off it); they
// stay queued for whatever reads next. The line is erased before anything
// else is printed, on a stop (Ctrl-Z) and on every way out: exit, failure,
// and the signals that end a process.
#pragma once

#include <cstddef>

// Columns the status may take now on the current line: 0 where none is
// drawn.
std::size_t status_room();
// Draws `text` (ASCII, cut to status_room()) in place of the status shown.
void show_status(const char* text);
// Erases the status line, if one is shown, and gives the terminal its
// echo back.
void clear_status();
// Called from a signal handler: the same, with async-signal-safe calls only.
void erase_status_now();

// What the program's own output did to the current line of stderr's
// terminal, where its stdout is that terminal too: `columns` more were
// printed on it, or the line ended.
void line_grew(std::size_t columns);
void line_ended();
// Whether a stop and a continue have left the program on a new line since
// it last printed: the line it left open is no longer the cursor's.
bool line_restarted();

// The escapes that go back from the end of a status line of `drawn`
// columns (0: none), on a line that held `before` columns before it, to
// where the status starts, at a terminal `width` columns wide that has
// rewrapped the line to that width, and erase from there: into `out`,
// returning the length. Pure, for the handlers and the tests.
std::size_t back_to_status(char* out, std::size_t size, std::size_t before, std::size_t drawn,
                           std::size_t width);
