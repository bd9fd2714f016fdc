// The eighteen type codes whose data the conversion knows, in the order in
// which the swap fuzz target picks them, each with data in host order and the
// same data as a big-endian image holds it: every 2-, 4- and 8-byte value
// reversed; in 'MSNG' (24-byte) and 'APPV' (340-byte) records the five 4-byte
// values at 0, 4, 8, 12 and 16 reversed and the rest left as it is; in 'RREF'
// records the 4-byte value at 0 and the 8-byte value at 4 reversed and the
// name from 12 up to its NUL left as it is. Each input holds several whole
// elements or two or more whole records. Needs no test framework.
#pragma once

#include <cstddef>
#include <string>

struct known_type {
    char code[5];
    size_t unit;          // length of an element or record; 0 for 'RREF'
    std::string host, big; // hex digits
};

// 320 bytes of 'APPV' record text: 01 23 45 67 89 AB CD EF, forty times.
inline std::string appv_text()
{
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "0123456789ABCDEF";
    return text;
}

// The 'RREF' records, named a, bc and with the empty name, end at 14, 29 and 42;
// the first one's 8-byte value has a zero high byte, just before its name.
inline const known_type known_types[18] = {
    {"SHRT", 2, "0102 0304 0506", "0201 0403 0605"},
    {"USHT", 2, "1112 1314 1516", "1211 1413 1615"},
    {"APPF", 4, "21222324 25262728 292A2B2C", "24232221 28272625 2C2B2A29"},
    {"BPNT", 4, "31323334 35363738 393A3B3C", "34333231 38373635 3C3B3A39"},
    {"FLOT", 4, "41424344 45464748 494A4B4C", "44434241 48474645 4C4B4A49"},
    {"LONG", 4, "51525354 55565758 595A5B5C", "54535251 58575655 5C5B5A59"},
    {"RECT", 4, "61626364 65666768 696A6B6C", "64636261 68676665 6C6B6A69"},
    {"SIZT", 4, "71727374 75767778 797A7B7C", "74737271 78777675 7C7B7A79"},
    {"SSZT", 4, "81828384 85868788 898A8B8C", "84838281 88878685 8C8B8A89"},
    {"TIME", 4, "91929394 95969798 999A9B9C", "94939291 98979695 9C9B9A99"},
    {"ULNG", 4, "A1A2A3A4 A5A6A7A8 A9AAABAC", "A4A3A2A1 A8A7A6A5 ACABAAA9"},
    {"DBLE", 8, "B0B1B2B3B4B5B6B7 B8B9BABBBCBDBEBF", "B7B6B5B4B3B2B1B0 BFBEBDBCBBBAB9B8"},
    {"LLNG", 8, "C0C1C2C3C4C5C6C7 C8C9CACBCCCDCECF", "C7C6C5C4C3C2C1C0 CFCECDCCCBCAC9C8"},
    {"OFFT", 8, "D0D1D2D3D4D5D6D7 D8D9DADBDCDDDEDF", "D7D6D5D4D3D2D1D0 DFDEDDDCDBDAD9D8"},
    {"ULLG", 8, "E0E1E2E3E4E5E6E7 E8E9EAEBECEDEEEF", "E7E6E5E4E3E2E1E0 EFEEEDECEBEAE9E8"},
    {"MSNG", 24,
     "F0F1F2F3 F4F5F6F7 F8F9FAFB FCFDFEFF 01020304 05060708"
     "10111213 14151617 18191A1B 1C1D1E1F 20212223 24252627",
     "F3F2F1F0 F7F6F5F4 FBFAF9F8 FFFEFDFC 04030201 05060708"
     "13121110 17161514 1B1A1918 1F1E1D1C 23222120 24252627"},
    {"APPV", 340,
     "00010203 04050607 08090A0B 0C0D0E0F 10111213" + appv_text() +
         "40414243 44454647 48494A4B 4C4D4E4F 50515253" + appv_text(),
     "03020100 07060504 0B0A0908 0F0E0D0C 13121110" + appv_text() +
         "43424140 47464544 4B4A4948 4F4E4D4C 53525150" + appv_text()},
    {"RREF", 0,
     "01020304 05060708090A0B00 6100 11121314 15161718191A1B1C 626300"
     "21222324 25262728292A2B2C 00",
     "04030201 000B0A0908070605 6100 14131211 1C1B1A1918171615 626300"
     "24232221 2C2B2A2928272625 00"},
};
