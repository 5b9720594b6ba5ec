// SDF surface data files ("aBCR-1.0"): reading both forms into a measurement dataset, and the
// key = value trailer that carries the rest of the dataset header in the ASCII form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vell/datafile/dataset.h"

// Data types of the SDF data section. The names are the ASCII header's values.
enum sdf_data_type : uint8_t {
    SDF_UCHAR = 0,    // 1 byte unsigned, invalid point 255
    SDF_UINTEGER = 1, // 2 bytes unsigned, invalid point 65535
    SDF_ULONGINT = 2, // 4 bytes unsigned, invalid point 4294967295
    SDF_FLOAT = 3,    // IEEE single, invalid point the largest finite single (or NaN)
    SDF_CHAR = 4,     // 1 byte signed, invalid point 127
    SDF_INTEGER = 5,  // 2 bytes signed, invalid point 32767
    SDF_LONGINT = 6,  // 4 bytes signed, invalid point 2147483647
    SDF_DOUBLE = 7,   // IEEE double, invalid point the largest finite double (or NaN)
};

// The SDF header as read from either form (all zero before reading). Text fields are
// zero-terminated.
struct sdf_header {
    char banner[8];        // the first 8 bytes of the file, not terminated
    char ManufacID[11];    // at most 10 characters
    char CreateDate[13];   // ddmmyyyyhhmm
    char ModDate[13];
    uint32_t NumPoints;    // points per profile (columns)
    uint32_t NumProfiles;  // profiles (rows)
    double Xscale;
    double Yscale;
    double Zscale;
    double Zresolution;
    uint8_t Compression;   // 1 for "RRL" or "1"
    uint8_t DataType;      // sdf_data_type
    uint8_t CheckType;     // 1 for "UINTTRACE" or "1"
};

// The largest NumPoints and NumProfiles a dataset can hold (its geometry fields are 16-bit).
constexpr uint32_t SDF_MAX_DIMENSION = 32767;

// Reads an SDF file of either form into a dataset: the header record is created and filled,
// the intensity map cleared (it may be null), the phase map filled with data allocated through
// u_malloc that the caller owns afterwards. The path follows the platform's path convention
// (a leading U+FEFF byte-order character makes it a wide path).
// Returns 0 or an error code; after a failure the header may be partly filled and the phase
// map holds no data. A trailer that lacks required fields prints "Missing required fields."
// on standard output and gives ERR_CORRUPT_DATA_FILE; so does a file whose text data fail
// (a cut file, a token that is no number) unless a complete trailer follows the failing line,
// in which case the data's code is returned. A source of unknown size (a pipe) is read into a
// map that grows as values arrive. Text data of 1 MiB and more are parsed on every core, with
// the same outcome as on one.
int32_t sdf_read_file(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase);

// What a reader accepts. The platform policy is sdf_read_file's. The import policy takes SDF
// files written by other instruments and programs: the banner must be one of "aBCR-1.0",
// "aISO-1.0", "aISO-2.0" (text header) or "bBCR-1.0", "bISO-1.0", "bISO-2.0" (binary header),
// anything else gives ERR_NOT_A_DATA_FILE; text data of every type may be decimal or exponent
// numbers, "BAD" and "NaN" (any case) are invalid points, as is the type's invalid value of the
// dialect (the largest value for BCR files, the smallest for ISO files; NaN for the floating
// types); the trailer is optional and keys other than the platform's are ignored; without all
// the platform's required keys the phase unit is Zresolution (7.724609375e-11 when it is not
// positive). Every point becomes round(value x Zscale / unit); a count that does not fit the map
// gives ERR_FP_OVERFLOW. The import policy prints nothing on standard output.
enum sdf_read_policy : uint8_t {
    SDF_POLICY_PLATFORM = 0,
    SDF_POLICY_IMPORT = 1,
};
struct sdf_read_options {
    sdf_read_policy policy = SDF_POLICY_PLATFORM;
};

// Same as sdf_read_file, and also hands back the SDF header read from the file (which may be
// null). The SDF header is filled as far as reading got, also after a failure.
int32_t sdf_read_file_ex(const char* path, dat_header* header, intensity_map* intensity,
                         phase_map* phase, sdf_header* sdf);

// Same as sdf_read_file_ex, under the policy of `options`.
int32_t sdf_read_file_ex(const char* path, dat_header* header, intensity_map* intensity,
                         phase_map* phase, sdf_header* sdf, const sdf_read_options& options);

// The attributes of a header: the part of the record from time_stamp to its end, as the bytes
// of the dat_header members (so &other.time_stamp of another dat_header is a valid
// destination).
constexpr std::size_t SDF_ATTRIBUTES_OFFSET = offsetof(dat_header, time_stamp);
constexpr std::size_t SDF_ATTRIBUTES_SIZE = sizeof(dat_header) - SDF_ATTRIBUTES_OFFSET;

// Reads a file with sdf_read_file into a private header record and, on success, copies its
// swinfo group and its attributes (SDF_ATTRIBUTES_SIZE bytes) into the caller's records.
// A missing swinfo or attributes destination gives ERR_INVALID_PARAM after the maps have been
// filled; nothing is copied then.
int32_t sdf_load_dataset(const char* path, dat_swinfo* swinfo, void* attributes,
                         intensity_map* intensity, phase_map* phase);

// The creation date ddmmyyyyhhmm as swinfo.date text: "Mar 02 11:20:00 1995" padded with
// blanks to exactly 30 characters (no terminator counted; the buffer has one after them).
// A text that is not 12 characters of a valid date and time gives 30 blanks. The result lives
// in one static buffer that the next call overwrites.
const char* sdf_date_text(const char* CreateDate);

// Removes leading and trailing blanks, tabs and line feeds in place (carriage returns stay)
// and returns the number of characters removed. Null gives 0.
int u_trim(char* text);

// ---- trailer --------------------------------------------------------------------------------

// Number of trailer keys that must be present for the data to be interpreted.
constexpr int SDF_TRAILER_REQUIRED = 8;

// Writes the 95 trailer lines of the header to an open stream. Write errors are not reported.
void sdf_write_trailer(std::FILE* stream, const dat_header* header);

// Reads trailer lines from the stream's current position up to and including the "*" line
// (nothing after it is consumed) into the header, and the "Data Offset" line into
// *data_offset (0 when absent). Returns 0 when the trailer is complete; any other value means
// that required fields are missing or the trailer ended early.
int sdf_read_trailer(std::FILE* stream, dat_header* header, int32_t* data_offset);
