#pragma once

#include "platform/RunControl.h"

#include <cstdint>
#include <filesystem>

// What a source holds, as its copy will hold it.
struct SourceSize {
    std::uint64_t bytes = 0;      // the sizes of its regular files
    std::uint64_t entries = 0;    // the files and links the copy makes
    std::uint64_t folders = 0;    // the folders it makes, the source's own included
    std::uint64_t allocated = 0;  // the space they take in blocks of the given size
};

// Walks the source once before its copy and gives the control its totals (bytes, and files
// and links). Allocated space counts the blocks each file and folder holds (a sparse file
// counts what it stores), each rounded up to whole blocks of blockSize. A source that is a
// link is followed, as the copy follows it; what cannot be read is not counted (the copy
// reports it). Throws RunStopped when a stop is asked for meanwhile.
SourceSize MeasureSource(const std::filesystem::path& source, std::uint64_t blockSize,
                         RunControl& control);
