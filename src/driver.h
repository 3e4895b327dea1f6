// The driver's steps between the prompts and "done".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/system.h"

// Forms the outputs' names beside the input: the folder part as given, then the first run of
// non-dot characters of the last path component, then "L.wav" or "R.wav". Ends the process
// with the filename error when that component has no such run.
void OUTPUT_NAMES(const std::string& input, std::string* left, std::string* right);
// The names of the n outputs of a take of n channels, beside the input as OUTPUT_NAMES forms them:
// L.wav and R.wav for two, _1.wav ... _n.wav (zero-padded to n's width) for any other n.
void CHANNEL_NAMES(const std::string& input, size_t n, std::vector<std::string>* names);

// Frames of `channels` samples between data_offset and data_end (0 when the data ends before it).
// Ends the process when an output's header could not describe their length (and its pad byte),
// with metadata bytes more than the 44-byte header before them.
void FRAME_COUNT(uint64_t data_end, uint32_t data_offset, uint32_t channels,
                 uint32_t bytes_per_sample, uint64_t metadata, uint32_t* frames);

// Ends the process when an output name leads to the input (links followed; a name that does
// not exist yet leads nowhere).
void DISTINCT_FILES(const char* input, const std::vector<std::string>& outputs);

// Writes each output's header (with what each carries of metadata, the chunks GET_ATTRIBUTES gave,
// which it empties once they are laid out), then each channel's samples, in order, of the whole
// frames between data_offset and data_end, under temporary names; then puts all in place (for a
// stereo take, the outputs are the left and the right). Ends the process when the input is no
// longer the file of the probe's identity, or its samples differ from one channel's copy to
// another's.
void SPLIT_TRACK(const char* input, const std::vector<std::string>& outputs, uint32_t data_offset,
                 uint64_t data_end, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t format,
                 uint32_t valid_bits, const FileId& identity, std::string* metadata);
