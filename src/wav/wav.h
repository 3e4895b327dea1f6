// Wave-format operations: the little-endian field codec, the input probe and the mono header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// The format codes of samples: integer PCM, and IEEE float; and the most channels a take split
// into one file per channel may have.
constexpr uint32_t CODE_PCM = 1, CODE_FLOAT = 3;
constexpr uint32_t MOST_CHANNELS = 64;

// Probes the wave file at path and fills slot [track] of each array: stereo 16- or 24-bit PCM
// only, or, with every, any take of 2 to 64 channels of 8-, 16-, 24- or 32-bit PCM or 32- or
// 64-bit float (format: its code; valid_bits: the bits a sample holds of its container's); the
// samples lie from data_offset up to data_end. Fills identity with the identity of the file it
// read, and keeps that file open until the process ends. Prints its message and ends the process
// when the file can't be used. When metadata is given, fills it with the chunks an output carries
// (bext, iXML, LIST of INFO or adtl, cue, smpl, inst, cart; the first bext and iXML only), each
// with its header and pad byte, as they stand in a file read as a chain of chunks.
void GET_ATTRIBUTES(int track, const char* path, uint32_t* channels, uint32_t* data_offset,
                    uint32_t* sample_rate, uint32_t* bytes_per_sample, uint32_t* bits_per_sample,
                    uint64_t* data_end, FileId* identity, std::string* metadata, bool every,
                    uint32_t* format, uint32_t* valid_bits);

// Offsets in a bext chunk's body: the description at 0, the originator, its reference, the
// origination date and time, the time reference's low and high halves, the version, the UMID, the
// loudness fields of version 2; the fixed fields end where the coding history starts. A cart
// chunk's fixed fields end before its tag text.
constexpr size_t BEXT_ORIGINATOR = 256, BEXT_REFERENCE = 288, BEXT_DATE = 320, BEXT_TIME = 330;
constexpr size_t BEXT_TIME_LOW = 338, BEXT_TIME_HIGH = 342, BEXT_VERSION = 346, BEXT_UMID = 348;
constexpr size_t BEXT_LOUDNESS = 412;
constexpr size_t BEXT_HISTORY = 602;
constexpr size_t CART_FIXED = 2048;

// A fingerprint of the take at path whose samples lie from data_offset to data_end: their length
// and their first and last 64 KiB. With the metadata, it tells one take from another where the
// recorder gave none an identifier. Ends the process when the file can't be read.
void TAKE_PRINT(const char* path, uint64_t data_offset, uint64_t data_end, uint64_t* print);

// Fills out with each output's chunks (one per name in own, the outputs of the take's channels in
// their order: for a stereo take, left and right), what it carries of the input's, as
// GET_ATTRIBUTES gives them: bext for its channel (its description naming the output own[k] and
// keeping its own track line, a reference and UMID of its own, loudness not given, a line of coding
// history), then iXML for its channel, then the rest (cue points in bytes rescaled to the mono
// frame). input names the input's file; take is TAKE_PRINT's. Prints a line for each thing that
// can't be made for one channel and stays as it was or is left out.
void MONO_METADATA(const std::string& carried, const std::string& input,
                   const std::vector<std::string>& own, uint32_t sample_rate,
                   uint32_t bits_per_sample, uint64_t take, std::vector<std::string>* out);
// How the output of channel (from 0) of n is told in words ("left", "right", or its number from
// 1) and in a tag ("L", "R", or "_" and its number).
std::string ChannelWord(size_t channel, size_t n);
std::string ChannelTag(size_t channel, size_t n);

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
// track) of the track of each of the index->size() channels (empty if none); false when it can't
// be read.
bool IxmlTracks(const char* xml, size_t size, std::string* file_uid,
                std::vector<std::string>* index);
// Appends to (*out)[k] the iXML document xml for the output named own[k] (of channel k) split from
// the file named parent: the track list reduced to that channel's track, FILE_UID of its own (from
// the input's, or from take where it has none), the outputs as a family of their own, the input
// as their parent, its BEXT as the output's bext chunk bext[k] (or none where empty); everything
// else byte for byte (a UTF-16 document written in UTF-8). Appends nothing when it is left out.
IxmlVerdict IxmlOfChannels(const char* xml, size_t size, const std::string& parent,
                           const std::vector<std::string>& own, const std::string& take,
                           const std::vector<std::string>& bext, std::vector<std::string>* out);

// Size of the mono header MAKE_HEADER writes for 16- and 24-bit PCM.
constexpr int HEADER_SIZE = 44;
// Lays out the 44-byte PCM mono header for the given rate, width and frame count.
void HeaderBytes(uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 unsigned char* out);
// The mono header of a channel of the given format: the 44-byte PCM header where it suffices; IEEE
// float's, with its fact chunk; the extensible form where the samples hold fewer bits than their
// containers. head gets what comes before the metadata (the RIFF and format chunks and any fact
// chunk; its RIFF length counting metadata bytes more), data the data chunk's head.
void MonoHeader(uint32_t sample_rate, uint32_t bits_per_sample, uint32_t format,
                uint32_t valid_bits, uint32_t frames, uint64_t metadata, std::string* head,
                std::string* data);
// Creates a temporary file beside path, fills temp with its number and writes the mono header
// into it, metadata (whole chunks) between its format (and fact) chunk and its data chunk's head;
// sets size to the bytes written. Ends the process when the file can't be created or written.
void MAKE_HEADER(const char* path, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t format,
                 uint32_t valid_bits, uint32_t frames, const std::string& metadata, int* temp,
                 uint64_t* size);
