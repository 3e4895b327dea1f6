// Wave-format operations: the little-endian field codec, the input probe and the mono header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "system/system.h"

// b0 + b1 * 2^8 of the two bytes at p, each byte taken as 0..255.
uint32_t Assem2(const unsigned char* p);
// b0 + b1 * 2^8 + b2 * 2^16 + b3 * 2^24 of the four bytes at p (the 32-bit pattern).
uint32_t Assem4(const unsigned char* p);
// Writes the low 2 bytes of v to out, least significant first.
void Decon2(uint16_t v, unsigned char* out);
// Writes the low 3 bytes of v to out, least significant first; bits 24-31 are dropped.
void Decon3(uint32_t v, unsigned char* out);
// Writes the 4 bytes of v's 32-bit pattern to out, least significant first.
void Decon4(uint32_t v, unsigned char* out);

// Bytes of the file start that the probe looks at: tags at even positions 2..15,000, and
// fields up to 24 bytes after a format tag found at the last of them.
constexpr long PROBE_LAST_TAG_POS = 15000;
constexpr long PROBE_WINDOW = PROBE_LAST_TAG_POS + 24;

// Probes the wave file at path and fills slot [track] of each array: stereo 16- or 24-bit
// only; the samples lie from data_offset up to data_end. Fills identity with the identity of
// the file it read, and keeps that file open until the process ends. Prints its message and
// ends the process when the file can't be used. When metadata is given, fills it with the chunks
// an output carries (bext, iXML, LIST of INFO or adtl, cue, smpl, inst; the first bext and iXML
// only), each with its header and pad byte, as they stand in a file read as a chain of chunks.
void GET_ATTRIBUTES(int track, const char* path, uint32_t* channels, uint32_t* data_offset,
                    uint32_t* sample_rate, uint32_t* bytes_per_sample, uint32_t* bits_per_sample,
                    uint64_t* data_end, FileId* identity, std::string* metadata);

// The fixed fields of a bext chunk's body, before its coding history, and of a cart chunk's,
// before its tag text.
constexpr size_t BEXT_HISTORY = 602;
constexpr size_t CART_FIXED = 2048;

// A fingerprint of the take at path whose samples lie from data_offset to data_end: their length
// and their first and last 64 KiB. With the metadata, it tells one take from another where the
// recorder gave none an identifier. Ends the process when the file can't be read.
void TAKE_PRINT(const char* path, uint64_t data_offset, uint64_t data_end, uint64_t* print);

// Appends to each output's chunks (out[0] left, out[1] right) what it carries of the input's, as
// GET_ATTRIBUTES gives them: bext for its channel (its description naming the output own[k] and
// keeping its own track line, a reference and UMID of its own, loudness not given, a line of coding
// history), then iXML for its channel, then the rest (cue points in bytes rescaled to the mono
// frame). input names the input's file; take is TAKE_PRINT's. Prints a line for each thing that
// can't be made for one channel and stays as it was or is left out.
void MONO_METADATA(const std::string& carried, const std::string& input, const std::string own[2],
                   uint32_t sample_rate, uint32_t bits_per_sample, uint64_t take,
                   std::string out[2]);

// 32 hexadecimal digits that stand for text: the same text, the same digits.
std::string UidOf(const std::string& text);

// What became of an iXML chunk: written for both channels whole, or without its track list (which
// matches no channel); or left out: no well-formed XML, declaring entities (a document type with
// declarations of its own), or past the bounds a recording's document keeps within.
enum IxmlVerdict { IXML_WHOLE, IXML_NO_TRACKS, IXML_NOT_XML, IXML_DECLARES, IXML_TOO_DEEP };
// Whether the size bytes at xml are a well-formed XML document with no declarations of its own
// (NUL bytes after it allowed, as recorders pad the chunk; UTF-16 with its byte-order mark).
bool WellFormedXml(const char* xml, size_t size);
// Reads the iXML document xml: its FILE_UID (empty if none) and the CHANNEL_INDEX (the recorder's
// track) of the track of each channel (empty if none); false when it can't be read.
bool IxmlTracks(const char* xml, size_t size, std::string* file_uid, std::string index[2]);
// Appends to out[k] the iXML document xml for the output named own[k] (k 0 left, 1 right) split
// from the file named parent: the track list reduced to that channel's track, FILE_UID of its own
// (from the input's, or from take where it has none), the pair as a family of its own, the input
// as its parent, its BEXT as the output's bext chunk bext[k] (or none where empty); everything else
// byte for byte (a UTF-16 document written in UTF-8). Appends nothing when it is left out.
IxmlVerdict IxmlOfChannels(const char* xml, size_t size, const std::string& parent,
                           const std::string own[2], const std::string& take,
                           const std::string bext[2], std::string out[2]);

// Size of the mono header MAKE_HEADER writes.
constexpr int HEADER_SIZE = 44;
// Lays out the 44-byte PCM mono header for the given rate, width and frame count.
void HeaderBytes(uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 unsigned char* out);
// Creates a temporary file beside path, fills temp with its number and writes the 44-byte mono
// header into it, metadata (whole chunks) between its format chunk and its data chunk's head;
// ends the process when the file can't be created or written.
void MAKE_HEADER(const char* path, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 const std::string& metadata, int* temp);
