// Pure logic of the HID layer: the case-insensitive path search and input report decoding.
#include "hid/hid_enum.h"
#include "hid/stick_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct FindCase {
    const wchar_t* haystack;
    const wchar_t* needle;
    int expected; // offset of the match, or -1
};

const FindCase find_cases[] = {
    {L"ABC", L"bc", 1},
    {L"ABC", L"", 0},
    {L"", L"", 0},
    {L"", L"a", -1},
    {L"AB", L"abc", -1},
    {L"ABC", L"D", -1},
    {L"aab", L"ab", 1}, // a partial match at 0 must not hide the one at 1
    {L"\\\\?\\hid#vid_16d0&pid_11a0#7&2a4f", L"VID_16D0&PID_11A0", 8},
    {L"\\\\?\\HID#VID_16D0&PID_11A0#7&2A4F", L"vid_16d0&pid_11a0", 8},
    {L"VID_16D0&PID_11A1", L"VID_16D0&PID_11A0", -1},
    {L"Z", L"z", 0},
    {L"z", L"Z", 0},
    // Only A-Z fold. Punctuation 0x20 apart from each other, Latin-1 and wider letters, and
    // code units whose low byte is an ASCII letter all compare as they are.
    {L"[", L"{", -1},
    {L"@", L"`", -1},
    {L"\u00C4", L"\u00E4", -1},
    {L"\u0141", L"a", -1},
    {L"\u0161", L"A", -1},
    {L"\uFF21", L"\uFF41", -1},
    {L"x\u0130y", L"\u0130Y", 1},
};

TEST(WcsFindNocase, MatchesAsTheTableSays) {
    for (const FindCase& c : find_cases) {
        const wchar_t* found = wcs_find_nocase(c.haystack, c.needle);
        int offset = found ? (int)(found - c.haystack) : -1;
        EXPECT_EQ(offset, c.expected)
            << "haystack \"" << c.haystack << "\" needle \"" << c.needle << "\"";
    }
}

struct DecodeCase {
    std::vector<uint8_t> report; // exactly the device's input report length
    int decoded;
    StickSample expected;
};

const StickSample untouched = {7, 0xEE, 0xEE, 0xEE, 0xEE};

const DecodeCase decode_cases[] = {
    {{0x00, 0x34, 0x12, 0x78, 0x56, 0x01}, 1, {1, 0x34, 0x78, 0x12, 0x56}},
    {{0x00, 0x34, 0x12, 0x78, 0x56, 0x80}, 1, {1, 0x34, 0x78, 0x12, 0x56}},
    {{0x00, 0x00, 0x80, 0x00, 0x80, 0x00}, 1, {0, 0x00, 0x00, 0x80, 0x80}},
    {{0x00, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0xFF, 0xFF}, 1, {0, 0xFF, 0x01, 0xFF, 0x00}},
    // Another report ID: nothing decoded, the previous sample stays.
    {{0x01, 0x34, 0x12, 0x78, 0x56, 0x01}, 0, untouched},
    {{0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, untouched},
    // Short reports: what the device does not have reads as 0.
    {{0x00, 0x34, 0x12}, 1, {0, 0x34, 0x00, 0x12, 0x00}},
    {{0x00, 0x34, 0x12, 0x78, 0x56}, 1, {0, 0x34, 0x78, 0x12, 0x56}},
    {{0x00}, 1, {0, 0, 0, 0, 0}},
};

TEST(StickReportDecode, FillsTheSampleAsTheTableSays) {
    for (const DecodeCase& c : decode_cases) {
        // A heap block of exactly the report's length, so that reading past it is caught.
        std::vector<uint8_t> report = c.report;
        StickSample sample = untouched;
        EXPECT_EQ(stick_report_decode(report.data(), report.size(), &sample), c.decoded);
        EXPECT_EQ(sample.button, c.expected.button);
        EXPECT_EQ(sample.x_low, c.expected.x_low);
        EXPECT_EQ(sample.y_low, c.expected.y_low);
        EXPECT_EQ(sample.x_high, c.expected.x_high);
        EXPECT_EQ(sample.y_high, c.expected.y_high);
    }
}

} // namespace
