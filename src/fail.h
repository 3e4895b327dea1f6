// How every operation ends the process on failure: one line on standard output, then exit.
#pragma once

// Messages the program can print, each followed by a line break.
#define MSG_NOT_STEREO "The file you want to convert is not a stereo track!"
#define MSG_BITS "24 bit or 16 bit wave files only!"
#define MSG_NOT_PCM "The file you want to convert is not PCM audio!"
#define MSG_TOO_LARGE "The file you want to convert is too large to split!"
#define MSG_NAME "Filename error: looking for format of type name.wav"
#define MSG_NO_FILE "Cannot find file in track list called %s!!"
#define MSG_NO_DATA "Can't find data block in wave file!"
#define MSG_NO_FORMAT "Can't find format chunk in wave file!"
#define MSG_SAME_FILE "Output file %s is the same file as %s!"
#define MSG_OPEN "Unable to open file."
#define MSG_READ "Unable to read file."
#define MSG_WRITE "Unable to write file."
#define MSG_KEPT "Unable to write file. The previous %s is kept as %s."
#define MSG_LOCK_HELD "The lock %s is held by process %s on %s."
#define MSG_LOCK_UNKNOWN "Can't tell who holds the lock %s: remove it if no split is running."
#define MSG_LOCK_NEARBY "The lock %s is held by a split in another container of this computer."
#define MSG_LOCK_MAKING "The lock %s is being written by a split that is stopped or slow."
#define MSG_LOCK_LEFT "The lock %s is left by user %s, whose next split here puts it right."
#define MSG_LOCK_UNTRUSTED "The lock %s names files its split did not make: nothing was changed."
#define MSG_LOCK_LATER "The lock %s is of a later version of quenlor2: nothing was changed."
#define MSG_LOCK_RECOVERING "The lock %s is being put right by a split that is stopped or slow."
#define MSG_LOCK_STUCK "The lock %s of an ended split can't be put right: the file system refuses."
#define MSG_RECOVERY_KEPT "The previous %s, set aside by a split that was cut short, is kept as %s."
#define MSG_RECOVERY_LEFT "A split that was cut short left %s, which may hold a previous output."
#define MSG_NO_IXML "The iXML chunk can't be read or its tracks matched to the channels: left out."
#define MSG_CHUNK_CUT "The %s chunk is cut short by the end of the file: left out."
#define MSG_CHUNK_SHORT "The %s chunk is shorter than its fixed fields: left out."
#define MSG_CHUNK_LARGE "The %s chunk would take the metadata past 16 MiB: left out."
#define MSG_CHANGED "The file you want to convert changed during the split!"
#define MSG_DONE "done"

// Removes the temporary outputs, prints the message (a printf format, filled from the arguments
// that follow status) and a line break on standard output, then ends the process with status.
[[noreturn]] void Fail(const char* message, int status, ...) __attribute__((format(printf, 1, 3)));
