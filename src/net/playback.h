// What the connection thread does for playback: list rows from FileList,
// the switch into the playback view on PlaybackInfo, and the pacing of
// PlaybackStep requests on quiet intervals.
#pragma once

#include <string>

#include "net/control_object.h"
#include "net/message_reader.h"
#include "net/protocol.h"

namespace zarvion {

// The three columns of one playback-list row, GBK bytes as received.
struct PlaybackRow {
  std::string channel;
  std::string time;  // YYYY-MM-DD HH:MM:SS
  std::string location;
};

// Cuts the row from fixed character positions of the location field: the
// channel from characters 2-3, the time from 5-8, 10-11, 13-14, 16-17, 19-20
// and 22-23 (counting from 0). Each piece stops early at a NUL.
PlaybackRow RowFromRecord(const FileRecord& record);

// Reads the `length` records of a FileList from the session's reader and
// appends one row for each. False when a record could not be received
// whole: the connection is then broken, and no row is made from a partly
// received record.
bool HandleFileList(ControlObject& obj, const MessageHeader& header, MessageReader& reader);

// Takes the total step count, tells the window the playback started, enters
// the playback view and asks the server to stop the live streams.
void HandlePlaybackInfo(ControlObject& obj, const MessageHeader& header);

// One quiet interval of the steady state: while playing and not paused,
// requests the step dwPlayPos and advances the position.
void PlaybackStep(ControlObject& obj);

}  // namespace zarvion
