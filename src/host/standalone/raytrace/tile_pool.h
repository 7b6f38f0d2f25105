#pragma once
// Runs the tiles of a render on a pool of threads and reports each finished tile.

#include <functional>
#include <vector>

#include "host/standalone/raytrace/render.h"

namespace paravelle::host::standalone::raytrace {

struct Tile {  // whole-image pixels, right and bottom exclusive
  int left, top, right, bottom;
};

// Splits `area` (non-empty, right and bottom exclusive) into tiles of at most
// tile_size x tile_size pixels, row by row from the top left.
std::vector<Tile> split_into_tiles(const RECT& area, int tile_size);

// Calls work(tile) for every tile on `threads` threads, the calling thread being one of
// them, and progress.tile_done after each. Returns false when tile_done asked to abort.
// The first exception from work or tile_done stops the pool; it is rethrown once every
// thread has been joined.
bool run_tiles(const std::vector<Tile>& tiles, int threads, const std::function<void(const Tile&)>& work,
               Progress& progress);

}  // namespace paravelle::host::standalone::raytrace
