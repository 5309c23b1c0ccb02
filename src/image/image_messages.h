// Messages of the image code beyond the library's table (same style:
// upper case, the subject in quotes).
#pragma once

namespace velloran::image::msg {
inline constexpr const char* ERROR_READING_FILE = "ERROR READING FILE \"%s\"";
inline constexpr const char* FILE_CHANGED_SIZE = "FILE \"%s\" BECAME SHORTER SINCE IT WAS ADDED";
inline constexpr const char* ERROR_WRITING_FILE = "ERROR WRITING FILE \"%s\" (%s)";
inline constexpr const char* COMPILATION_EMPTY = "NOTHING TO RECORD: THE COMPILATION IS EMPTY";
inline constexpr const char* IMAGE_OF_IMPORTED_FILES =
    "AN IMAGE FILE CANNOT HOLD FILES IMPORTED FROM A DISC SESSION: THEIR DATA IS ON THE DISC";
}  // namespace velloran::image::msg
