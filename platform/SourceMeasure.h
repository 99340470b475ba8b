#pragma once

#include "platform/RunControl.h"

#include <filesystem>

// Walks the source once before its copy and gives the control its totals: the bytes of its
// regular files and the number of entries the copy will make (files and links). A source
// that is a link is followed, as the copy follows it; what cannot be read is not counted
// (the copy reports it). Throws RunStopped when a stop is asked for meanwhile.
void MeasureSource(const std::filesystem::path& source, RunControl& control);
