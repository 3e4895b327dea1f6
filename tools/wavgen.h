// Builds stereo wave files for the tests, the sample, the benchmark and the fuzzing seeds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Byte b of the sample of channel c in frame i: the channels differ in every byte and bytes
// with the high bit set are common, so a swapped channel or a sign error shows.
unsigned char SampleByte(uint64_t i, int c, int b);

// The sample bytes of frames [first, first + count) of a take of `channels` channels.
Bytes Samples(uint32_t bits, int channels, uint64_t first, uint64_t count);

// The sample bytes of frames [first, first + count) of a stereo file of the given width.
Bytes StereoSamples(uint32_t bits, uint64_t first, uint64_t count);

// The sample bytes of frames [first, first + count) of a stereo recording of two tones, one
// per channel, at -12 dBFS: something to listen to.
Bytes ToneSamples(uint32_t bits, uint32_t rate, uint64_t first, uint64_t count);

// One channel (0 left, 1 right) of the sample bytes of a take of `channels` (stereo unless given)
// of the given width, as a mono output holds it; a trailing part shorter than a frame is dropped.
Bytes ChannelSamples(const Bytes& samples, size_t width, int channel, size_t channels = 2);

// A canonical wave header, up to and including the data chunk's length field, for data_bytes
// of samples (and their pad byte, when odd) to follow.
Bytes WavHeader(uint32_t bits, uint32_t channels, uint32_t rate, uint64_t data_bytes);

// A whole canonical stereo file of `frames` frames.
Bytes StereoWav(uint32_t bits, uint32_t rate, uint64_t frames);

// The parts one after the other.
Bytes Cat(std::initializer_list<Bytes> parts);

// A mono output as the program should write it: the mono header, then one channel (0 left,
// 1 right) of the whole frames of stereo `samples`, then a pad byte when they are odd.
Bytes MonoWav(uint32_t bits, uint32_t rate, const Bytes& samples, int channel);

// The characters of s.
Bytes Text(const std::string& s);
// The first n bytes of file: a file cut short.
Bytes First(size_t n, const Bytes& file);

// A chunk: its 4-character id, its length, its body and, when the length is odd, a pad byte.
Bytes Chunk(const std::string& id, const Bytes& body);
// A chunk whose length field says `declared` (a damaged or unfinished one), whatever its body.
Bytes Chunk(const std::string& id, const Bytes& body, uint64_t declared);

// A file as its chunks make it: the tag ("RIFF", or "RF64"/"BW64" with 0xFFFFFFFF as its
// size), the size, "WAVE", then the chunks.
Bytes Riff(std::initializer_list<Bytes> chunks, const std::string& tag = "RIFF");
// The body of a format chunk: of format `code` (16 bytes; 1 is PCM), or extensible (40) with
// `code` as its sub-format.
Bytes FmtBody(uint32_t bits, uint32_t channels, uint32_t rate, bool extensible = false,
              uint16_t code = 1);
// A "fmt " chunk of that body.
Bytes Fmt(uint32_t bits, uint32_t channels, uint32_t rate, bool extensible = false,
          uint16_t code = 1);
// A "data" chunk of samples declaring `declared` bytes (0xFFFFFFFF: the length is in ds64).
Bytes Data(const Bytes& samples, uint64_t declared);
// A "data" chunk of samples declaring their length.
Bytes Data(const Bytes& samples);
// An RF64 "ds64" chunk giving the RIFF and data sizes and the sample count, its body cut to
// `length` bytes (28 holds them all, with an empty table), under `id`.
Bytes Ds64(uint64_t riff_size, uint64_t data_size, uint64_t frames, size_t length = 28,
           const std::string& id = "ds64");

// Appends a little-endian field of `width` bytes.
void PutLe(Bytes& out, uint64_t v, int width);
// Appends the characters of s.
void PutText(Bytes& out, const std::string& s);

// Writes a canonical stereo file (or one of `channels`) of `frames` frames to path, in pieces, of
// the test samples or of tones (stereo only); false on failure.
bool WriteStereoWav(const char* path, uint32_t bits, uint32_t rate, uint64_t frames,
                    bool tones = false, int channels = 2);

// Small files of every shape the probe meets, by name: the fuzzing seeds, which the tests also
// run the program on.
std::vector<std::pair<std::string, Bytes>> Seeds();
