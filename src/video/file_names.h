// Names of the files the pipeline writes: recordings and snapshots, named
// from the channel and the local time to the millisecond.
#pragma once

#include <string>

#include "platform/files.h"

namespace zarvion {

// The folder with one trailing '/' removed, then
// "CLIENT_CH%02d_%04d_%02d_%02d_%02d_%02d_%02d_%03d.avi".
std::string RecordFileName(const std::string& folder, int channelNumber, const LocalTime& t);
// The same with "EVENT_" in place of "CLIENT_": a recording the viewer
// started on an event rather than the record button.
std::string EventRecordFileName(const std::string& folder, int channelNumber, const LocalTime& t);
// The folder with one trailing '/' removed, then
// "CH%02d_%04d_%02d_%02d_%02d_%02d_%02d_%03d.bmp".
std::string SnapshotFileName(const std::string& folder, int channelNumber, const LocalTime& t);

}  // namespace zarvion
