// The round-trip property of the calibration reader and writer, shared by the writer tests and
// the fuzz target.
//
// For a text that reads without error and that the writer takes:
//  - read, write, read, write, read, write settles: the slots of the second and third reads are
//    equal and the second and third writes byte for byte the same. (The first write may differ
//    from the second where the reader's presets fill in more than the slot held: a slot with the
//    default light reads back with the four preset wavelengths.)
//  - the first write loses nothing: the same slot written with every real in full digits
//    (calfile_write_text's exact form, same lines, same conditions) reads back as the very
//    slot the text gave, except for wavelengths that the Light line's preset fills in where the
//    slot held none. So every field that a file can set is written whenever it matters, and the
//    written formats differ from the full digits only by their resolution.
// A text with more than one Version line is left out: lines read under an earlier board can set
// configuration bytes that no line of the final board carries, and the writer writes one Version
// line.
// Uses all four slots.
#pragma once

#include <string>
#include <string_view>

#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "vell/calfile/writer.h"
#include "vell/platform/errors.h"

namespace calprop {

struct outcome {
    bool applies = false;  // the text read without error and the writer took the slot
    std::string fault;     // empty when the property holds
};

// How many lines begin with the word Version (in any letter case).
inline int version_lines(std::string_view text)
{
    int count = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        std::string_view line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        std::size_t first = line.find_first_not_of(std::string_view(" \t\0", 3));
        if (first == std::string_view::npos || line.size() - first < 7)
            continue;
        std::string word(line.substr(first, 7));
        for (char& c : word)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        bool ends = line.size() - first == 7 || std::string_view(" \t\0", 3).find(line[first + 7]) != std::string_view::npos;
        if (word == "version" && ends)
            ++count;
    }
    return count;
}

inline outcome check_round_trip(std::string_view text)
{
    outcome out;
    if (version_lines(text) > 1)
        return out;
    SysInfo& first = *sysinfo_slot(0);
    SysInfo& second = *sysinfo_slot(1);
    SysInfo& third = *sysinfo_slot(2);
    SysInfo& exact = *sysinfo_slot(3);
    if (sb_readCal_bytes(0, text, "input.cal") != NO_ERROR)
        return out;
    std::string one;
    if (calfile_write_text(first, one) != NO_ERROR)
        return out;  // a slot that the writer refuses to write; its message names the cause
    out.applies = true;

    int32_t rc = sb_readCal_bytes(1, one, "one.cal");
    if (rc != NO_ERROR) {
        out.fault = "the written text does not read back (" + std::to_string(rc) + "):\n" + one;
        return out;
    }
    std::string two;
    rc = calfile_write_text(second, two);
    if (rc != NO_ERROR || sb_readCal_bytes(2, two, "two.cal") != NO_ERROR) {
        out.fault = "the second write fails or does not read back (" + std::to_string(rc) + "):\n" + two;
        return out;
    }
    std::string three;
    rc = calfile_write_text(third, three);
    if (rc != NO_ERROR || three != two || !(third.cal() == second.cal())) {
        out.fault = "the writes do not settle (" + std::to_string(rc) + "):\n" + two + "\n----\n" + three;
        return out;
    }

    std::string full;
    if (calfile_write_text(first, full, true) != NO_ERROR) {
        out.fault = "the exact write fails where the write succeeds:\n" + full;
        return out;
    }
    rc = sb_readCal_bytes(3, full, "exact.cal");
    if (rc != NO_ERROR) {
        out.fault = "the exact text does not read back (" + std::to_string(rc) + "):\n" + full;
        return out;
    }
    for (int i = 1; i < 4; ++i)
        if (first.wavelength[i][0] == 0.0) {  // a preset fills in no more than the slot lacked
            exact.wavelength[i][0] = 0.0;
            exact.wavelength[i][1] = first.wavelength[i][1];
        }
    if (!(exact.cal() == first.cal())) {
        std::string again;
        calfile_write_text(exact, again, true);
        out.fault = again == full ? "a field that no written line carries was lost:\n" + full
                                  : "a value was lost by the write:\n" + full + "\n----\n" + again;
    }
    return out;
}

}  // namespace calprop
