/* The stick this program drives, written once: the program finds it by these numbers in a HID
 * interface's path, and the simulated machine (winsim/) and the Wine rig (rig/, C as well as
 * C++) present a stick that carries them. A second model of the stick is a second pair of
 * digits here and a second filter where the enumeration is asked for the first. */
#pragma once

/* The USB vendor and product numbers, as the four hexadecimal digits that both the numbers and
 * the interface path's text are made from. */
#define STICK_VENDOR_DIGITS 16D0
#define STICK_PRODUCT_DIGITS 11A0

#define STICK_HEX_(digits) 0x##digits
#define STICK_HEX(digits) STICK_HEX_(digits)
#define STICK_TEXT_(digits) #digits
#define STICK_TEXT(digits) STICK_TEXT_(digits)

#define STICK_VENDOR_ID STICK_HEX(STICK_VENDOR_DIGITS)
#define STICK_PRODUCT_ID STICK_HEX(STICK_PRODUCT_DIGITS)

/* How a device ID and an interface path name the stick, "VID_vvvv&PID_pppp"; the program
 * compares it without regard to case. */
#define STICK_IDS_TEXT "VID_" STICK_TEXT(STICK_VENDOR_DIGITS) "&PID_" STICK_TEXT(STICK_PRODUCT_DIGITS)
#define STICK_PATH_FILTER L"" STICK_IDS_TEXT
