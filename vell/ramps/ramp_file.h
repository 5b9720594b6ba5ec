// Ramp data files: the 328-byte header record, the file reader and writer, the readable dump,
// the checks a ramp passes before an instrument uses it, standard file names, ramps derived from
// a loaded one, external profile ramps held by the scanner controller, and the scan codes.
//
// File layout: the header, then nPoints unsigned 16-bit samples. Bytes 1 to 168 of the header
// (the first 42 words) and every sample are stored most significant byte first; bytes 169 to
// 328 least significant byte first. Files in use depend on this mixed order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "vell/calfile/sysinfo.h"

struct rr_ramp_cfg_t;

// Ramp type numbers.
constexpr int32_t RR_SWLI = 0;
constexpr int32_t RR_PMI = 1;  // 1 to 15 are PMI ramps; a configuration entry always uses 1
constexpr int32_t RR_PMI_LAST = 15;
constexpr int32_t RR_BTW = 17;
constexpr int32_t RR_FR = 19;

inline bool rr_is_pmi(int32_t type) { return type >= RR_PMI && type <= RR_PMI_LAST; }

// Printable name of a ramp type: a table of 20 entries, "?" for the unnamed numbers and for any
// number outside the table.
const char* rr_ramp_type_name(int32_t type);

constexpr int RR_RAMP_HDR_SIZE = 328;
constexpr uint32_t RR_RAMP_MAGIC = 0x52414D51u;  // "RAMQ" read most significant byte first

// The file header. Fields in file order; the byte positions (1-based) are those of the dump.
struct rr_ramp_hdr_t {
    uint32_t magicNumber;  //   1-4  "RAMQ"
    int32_t rampType;      //   5-8
    int32_t pztID;         //   9-12 scanner serial number
    int32_t rampID;        //  13-16
    int32_t nPoints;       //  17-20 number of samples
    int32_t rampUp;
    int32_t rampStart;
    int32_t rampLinear;
    int32_t rampEnd;
    float sampleClkFreq;  //  37-40 kHz
    float cameraRate;     //  41-44 Hz
    int32_t updateRate;   //  45-48 65536 - 4000 / sampleClkFreq
    int32_t grabSkip;
    float rampSlope;  //  53-56 nm per frame
    int32_t trigStartAddr;
    int32_t trigEndAddr;
    int32_t rampGainDflt;
    float rampTriple[3];  //  69-80
    float scanLen;        //  81-84 um
    int32_t polar;        //  85-88 one character in a word
    int32_t offset;       //  89-92 sample value of the zero position
    int32_t nBuckets;
    float rampLin;
    float rampTrim;
    float cameraPClock;
    int32_t cameraHPeriod;
    int32_t cameraVPeriod;
    int32_t cameraInterlace;
    int32_t rampMux;
    int32_t instrBdType;  // 125-128 0 for any board
    int32_t compGain;
    int32_t compFilter;
    int32_t leakage;
    int32_t adcMin;
    int32_t adcMax;
    int32_t adcFirst;
    int32_t adcMid;
    int32_t adcLast;
    float scanCal;         // 161-164
    uint32_t reserved165;  // 165-168 (most significant byte first)
    float fringesPerFrame;  // 169-172 (least significant byte first from here on)
    float objMag;
    int32_t wavelenSelect;
    uint32_t reserved181;
    int32_t scanDir;  // 185-188 non-zero: the scan runs towards increasing sample values
    uint32_t reserved189[2];
    uint8_t spare[132];  // 197-328
};

// The header's file form and back. `bytes` holds RR_RAMP_HDR_SIZE bytes.
void rr_pack_ramp_hdr(const rr_ramp_hdr_t& hdr, uint8_t* bytes);
void rr_unpack_ramp_hdr(const uint8_t* bytes, rr_ramp_hdr_t& hdr);

// Sample arrays handed between operations come from u_malloc and go back through u_free.
struct rr_samples_free {
    void operator()(uint16_t* p) const;
};
using rr_samples = std::unique_ptr<uint16_t[], rr_samples_free>;

// One ramp of an instrument's ramp set.
struct rr_ramp_t {
    // Configuration FileName, "+" and the base ramp's name for a derived ramp, or the file
    // name found in the ramp directory. A derived name may pass 80 characters.
    std::string name;
    rr_ramp_hdr_t hdr{};
    rr_samples samples;  // hdr.nPoints samples, or null

    // Ramp-set fields.
    uint8_t slot = 255;       // instrument slot holding the ramp, 255 when not loaded
    int64_t startStamp = 0;   // wall-clock seconds of the last start, 0 when the set is built
    int32_t duration = 0;     // ms
    int32_t dirCode = 0;      // 1 or 2
    double sortKey = 0.0;
    double offsetCrossPos = 0.0;  // um
    int32_t defaultGain = 0;
    double offsetCrossTime = 0.0;  // s
    int32_t hide = 0;
};

// Reads a ramp data file. The header is zeroed first. When `samples` is given, what it holds
// is released and cleared; on success it receives nPoints samples (none when nPoints is not
// positive), owned by the caller (u_free). On failure nothing is returned.
// ERR_INVALID_PARAM (no header), ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF (shorter than the magic
// number or the header), ERR_NOT_A_RAMP_FILE, ERR_CORRUPT_RAMP_FILE (fewer samples than
// announced; checked before anything is allocated), ERR_NO_MEM.
int32_t rr_read_ramp_file(const char* path, rr_ramp_hdr_t* hdr, uint16_t** samples);

// Writes a ramp data file: the header with magicNumber "RAMQ", then hdr->nPoints samples. The
// caller's header and samples are not changed. The file is written beside the target and
// replaces it only when complete, so a failed write leaves the old file as it was.
// ERR_INVALID_PARAM (no header, no samples, negative nPoints), ERR_CANT_CREATE_FILE,
// ERR_CANT_WRITE_FILE.
int32_t rr_write_ramp_file(const char* path, const rr_ramp_hdr_t* hdr, const uint16_t* samples);

// The readable dump: one line per named field with its byte positions, the spare area and the
// header size; then the samples (when given), one per line or ten per line.
std::string rr_format_ramp_hdr(const rr_ramp_hdr_t& hdr, const uint16_t* samples, bool one_per_line);
void rr_print_ramp_hdr(std::FILE* stream, const rr_ramp_hdr_t* hdr, const uint16_t* samples, bool one_per_line);

// Checks a ramp for an instrument (board type, scanner serial numbers, -1 when the instrument
// has no such scanner). May correct pztID and fringesPerFrame.
int32_t rr_check_ramp_file(rr_ramp_hdr_t* hdr, const char* name, int32_t instrBdType, int32_t pifocSerial,
                           int32_t pztSerial);
int32_t rr_check_fringes_per_frame(rr_ramp_hdr_t* hdr, const char* name);

// The standard file name of a ramp, in a shared buffer that the next call overwrites.
// An unsupported type or a grabSkip of -1 gives an empty name and ERR_INVALID_PARAM.
int32_t rr_get_std_ramp_filename(const rr_ramp_hdr_t* hdr, const char** name);

// Makes `ramp` (which must hold no samples) from the SWLI ramp `base` for the "+" entry.
int32_t rr_derive_ramp(const rr_ramp_t* base, rr_ramp_t* ramp, const rr_ramp_cfg_t* entry);

// Sets up a ramp held by the scanner controller ("extprofile<index>.<polar>[n]..."). True on
// success; on failure `reason` (when given) says why.
bool rr_load_ext_profile_ramp(const sysInfo* si, const rr_ramp_cfg_t* entry, rr_ramp_t* ramp,
                              std::string* reason);

// Number of ramp slots of the instrument (0 for an unknown board type, with a message).
int32_t rr_get_max_num_instr_ramps(const sysInfo* si);

int32_t rr_fpf_to_scan_code(double fringesPerFrame, int32_t* code);
int32_t rr_scan_type_to_fpf(int32_t scanType, double* fringesPerFrame);
