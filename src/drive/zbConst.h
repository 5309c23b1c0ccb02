// The library's table of messages: every upper-case text the drive, image
// and recording code reports in LastError, in OnDebugMessage or in
// OnWriteDone. One table, so every caller uses the same strings.
#pragma once

namespace velloran::drive::msg {

// Transport status texts.
inline constexpr const char* CHECK_CONDITION = "CHECK CONDITION";
inline constexpr const char* TARGET_BUSY = "TARGET BUSY";
inline constexpr const char* TARGET_RESERVATION_CONFLICT = "TARGET RESERVATION CONFLICT";
inline constexpr const char* TARGET_QUEUE_FULL = "TARGET QUEUE FULL";
inline constexpr const char* COMMAND_TIMEOUT = "COMMAND TIMEOUT";
inline constexpr const char* SRB_TIMEOUT = "SRB TIMEOUT";
inline constexpr const char* MESSAGE_REJECT = "MESSAGE REJECT";
inline constexpr const char* BUS_RESET = "BUS RESET";
inline constexpr const char* PARITY_ERROR = "PARITY ERROR";
inline constexpr const char* REQUEST_SENSE_FAILED = "REQUEST SENSE FAILED";
inline constexpr const char* SELECTION_TIMEOUT = "SELECTION TIMEOUT";
inline constexpr const char* DATA_OVERRUN = "DATA OVERRUN";
inline constexpr const char* UNEXPECTED_BUS_FREE = "UNEXPECTED BUS FREE";
inline constexpr const char* INVALID_REQUEST = "INVALID REQUEST";
inline constexpr const char* INVALID_HOST_ADAPTER = "INVALID HOST ADAPTER";
inline constexpr const char* NO_DEVICE = "NO DEVICE";
inline constexpr const char* INVALID_SRB = "INVALID SRB";
inline constexpr const char* BUFFER_ALIGNMENT = "BUFFER ALIGNMENT";
inline constexpr const char* ASPI_IS_BUSY = "ASPI IS BUSY";
inline constexpr const char* BUFFER_TOO_BIG = "BUFFER TOO BIG";
inline constexpr const char* UNKNOWN = "UNKNOWN";

// Sense key texts.
inline constexpr const char* FILEMARK = "FILEMARK";
inline constexpr const char* END_OF_MEDIA = "END OF MEDIA";
inline constexpr const char* ILLEGAL_LENGTH = "ILLEGAL LENGTH";
inline constexpr const char* NO_ADDITIONAL_SENSE_INFORMATION = "NO ADDITIONAL SENSE INFORMATION";
inline constexpr const char* RECOVERED_ERROR = "RECOVERED ERROR";
inline constexpr const char* NOT_READY = "NOT READY";
inline constexpr const char* MEDIUM_ERROR = "MEDIUM ERROR";
inline constexpr const char* HARDWARE_ERROR = "HARDWARE ERROR";
inline constexpr const char* ILLEGAL_REQUEST = "ILLEGAL REQUEST";
inline constexpr const char* UNIT_ATTENTION = "UNIT ATTENTION";
inline constexpr const char* DATA_PROTECT = "DATA PROTECT";
inline constexpr const char* ERASE_CHECK = "ERASE CHECK";
inline constexpr const char* COPYABORTED = "COPYABORTED";
inline constexpr const char* ABORTED_COMMAND = "ABORTED COMMAND";
inline constexpr const char* VOLUME_OVERFLOW = "VOLUME OVERFLOW";
inline constexpr const char* MISCOMPARE = "MISCOMPARE";
inline constexpr const char* RESERVED = "RESERVED";

// Drive selection and jobs.
inline constexpr const char* INVALID_DEVICE_ID = "INVALID DEVICE ID / NOT A CD OR DVD DRIVE";
inline constexpr const char* OPERATION_ABORTED_BY_USER = "OPERATION ABORTED BY USER";
inline constexpr const char* WRITER_BUSY_BUFFER_FULL = "WRITER BUSY/BUFFER FULL";
inline constexpr const char* WRITER_ERROR = "WRITER ERROR";
inline constexpr const char* ERROR_GETTING_NEXT_WRITABLE_ADDRESS = "ERROR GETTING NEXT WRITABLE ADDRESS";
inline constexpr const char* SEND_CUE_SHEET_FAILED = "SEND CUE SHEET FAILED";
inline constexpr const char* STARTING_WRITE_PROCESS = "STARTING WRITE PROCESS ON %s AT %s";
inline constexpr const char* STARTING_ERASE_PROCESS = "STARTING ERASE PROCESS ON %s AT %s";
inline constexpr const char* TEST_DUMMY_WRITE = "TEST/DUMMY WRITE";

// Compilation, layout and import.
inline constexpr const char* INVALID_DESTINATION_PATH = "INVALID DESTINATION PATH";
inline constexpr const char* INTERNAL_ERROR_0004 = "INTERNAL ERROR 0004";
inline constexpr const char* INTERNAL_ERROR_0005 = "INTERNAL ERROR 0005";
inline constexpr const char* MAXIMUM_DIRECTORIES = "MAXIMUM DIRECTORIES CAN BE %d";
inline constexpr const char* MAXIMUM_FILES = "MAXIMUM FILES CAN BE %d";
inline constexpr const char* ERROR_IMPORTING_SESSION = "ERROR IMPORTING SESSION";
inline constexpr const char* ERROR_IMPORTING_SESSION_NOT_FOUND = "ERROR IMPORTING SESSION %d (ISO IMAGE NOT FOUND)";
inline constexpr const char* ERROR_IMPORTING_SESSION_NAME_LENGTH =
    "ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS";

// Files.
inline constexpr const char* CANT_OPEN_FILE = "CAN'T OPEN FILE \"%s\" OR FILE IS IN USES BY OTHER SOFTWARE";
inline constexpr const char* CANT_CREATE_FILE = "CAN'T CREATE FILE \"%s\"";

// Messages of this system's own, for failures the platform adds.
inline constexpr const char* NO_TRANSPORT =
    "NO SCSI TRANSPORT: NO OPTICAL DRIVE ANSWERED AND NO ASPI LIBRARY WAS FOUND";
inline constexpr const char* QUICK_FORMAT_TIMEOUT = "THE DRIVE DID NOT FINISH FORMATTING THE DISC IN TIME";
inline constexpr const char* FLUSH_TIMEOUT = "THE DRIVE DID NOT FINISH WRITING ITS CACHE IN TIME";
inline constexpr const char* ERASE_IN_PROGRESS = "THE DRIVE IS ERASING A DISC; WAIT FOR THE ERASE TO END";
inline constexpr const char* NO_DEVICE_SELECTED = "NO DEVICE SELECTED";
inline constexpr const char* DRIVE_NOT_READY = "THE DRIVE IS NOT READY";
inline constexpr const char* DRIVE_NOT_READY_IN_TIME = "THE DRIVE DID NOT BECOME READY IN TIME";
inline constexpr const char* DISC_NOT_WRITABLE = "THE DISC IN THE DRIVE (%s) CANNOT BE WRITTEN";
inline constexpr const char* DISC_CLOSED = "THE DISC IS CLOSED: NOTHING MORE CAN BE WRITTEN TO IT";
inline constexpr const char* TEST_WRITE_MEDIUM = "A %s DISC HAS NO TEST WRITE: NOTHING WAS SENT TO THE DRIVE";
inline constexpr const char* TEST_WRITE_DRIVE = "THE DRIVE CANNOT TEST WRITE: NOTHING WAS SENT TO IT";
inline constexpr const char* TEST_WRITE_REFUSED = "THE DRIVE DID NOT TAKE THE TEST WRITE MODE";
inline constexpr const char* ERROR_CLOSING_TRACK = "ERROR CLOSING TRACK";
inline constexpr const char* ERROR_CLOSING_SESSION = "ERROR CLOSING SESSION";
inline constexpr const char* CLOSE_TIMEOUT = "THE DRIVE DID NOT FINISH CLOSING THE SESSION IN TIME";
inline constexpr const char* ERROR_FORMATTING = "ERROR FORMATTING THE DISC";
inline constexpr const char* ERROR_WRITING_DESCRIPTORS = "ERROR WRITING THE VOLUME DESCRIPTORS";
inline constexpr const char* WOULD_OVERWRITE = "THE NEW SESSION WOULD OVERWRITE DATA OF AN EARLIER SESSION AT SECTOR %u";
inline constexpr const char* NOT_ENOUGH_SPACE = "NOT ENOUGH SPACE ON THE DISC: %lld BLOCKS NEEDED, %lld FREE";
inline constexpr const char* IMAGE_NEEDS_BLANK_DISC = "AN IMAGE CAN ONLY BE BURNED TO A BLANK DISC; THIS ONE HOLDS DATA";
inline constexpr const char* CLOSING_UNFINISHED_SESSION = "CLOSING THE UNFINISHED SESSION # %d";
inline constexpr const char* DRIVE_ACCESS_DENIED =
    "CANNOT OPEN %s: PERMISSION DENIED (ADD THE USER TO THE GROUP '%s' THAT OWNS THE DEVICE)";

}  // namespace velloran::drive::msg
