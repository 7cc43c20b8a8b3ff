#pragma once

// The control folder in the sender's working directory: a file there pauses
// or drains the queue. The engine follows it and ends a drain by removing
// its file; marlek-sms writes it, as root or as a member of the sender's
// group.
namespace ControlFolder {

constexpr const char* Name = "SmsSender.control";
constexpr const char* PauseFile = "pause";
constexpr const char* DrainFile = "drain";
// The group's to write and remove, whatever the writer's umask.
constexpr unsigned FileMode = 0660;

} // namespace ControlFolder
