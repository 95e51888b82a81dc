// Tree scan: the newest modification time at and below a path.
#pragma once

#include <ctime>

// Walks path and everything below it, raising *newest; returns *newest. May end the run.
[[nodiscard]] time_t tree_stamp(const char *path, time_t *newest, time_t *threshold,
                                time_t *window);

// Called after each rise of *newest: ends the run when newest is younger than the threshold.
void check_young_enough(const time_t *newest, time_t *threshold, const time_t *window);
