// Texts of the Windows system messages for the codes this program can meet, and the
// fixed texts of the ShellExecute result codes.
#include <cstdint>
#include <string>

#include "support/error_log.h"

namespace vornel {

namespace {
struct CodeText {
    uint32_t code;
    const char* text;
};

// FormatMessage(FROM_SYSTEM) texts; each ends in CR LF as the system gives it.
constexpr CodeText kSystemMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {18, "There are no more files."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {232, "The pipe is being closed."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015, "The registry is corrupted. The structure of one of the files containing registry "
           "data is corrupted, or the system's memory image of the file is corrupted, or the "
           "file could not be recovered because the alternate copy or log was absent or "
           "corrupted."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1460, "This operation returned because the timeout period expired."},
    // Internet layer (WinInet and HTTP).
    {12001, "No more handles could be generated at this time."},
    {12002, "The operation timed out"},
    {12004, "An internal error occurred in the Microsoft Internet extensions."},
    {12005, "The URL is invalid."},
    {12006, "The URL does not use a recognized protocol"},
    {12007, "The server name or address could not be resolved"},
    {12012, "The Windows Internet extensions have been shut down"},
    {12013, "The user name is not valid"},
    {12014, "The password is not valid"},
    {12015, "The login request was denied"},
    {12017, "The operation has been canceled"},
    {12029, "A connection with the server could not be established"},
    {12030, "The connection with the server was terminated abnormally"},
    {12031, "The connection with the server was reset"},
    {12038, "The host name in the certificate is invalid or does not match"},
    {12044, "The server is requesting client authentication"},
    {12152, "The server returned an invalid or unrecognized response"},
    {12157, "An error occurred in the secure channel support"},
    {12175, "A security error occurred"},
};

constexpr CodeText kShellExecuteTexts[] = {
    {0, "The operating system is out of memory or resources."},
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied access to the specified file. "},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .exe file is invalid (non-Win32\xC2\xAE .exe or error in .exe image)."},
    {27, "The file name association is incomplete or invalid."},
    {28, "The DDE transaction could not be completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30, "The DDE transaction could not be completed because other DDE transactions were being "
         "processed."},
    {31, "There is no application associated with the given file name extension. This error "
         "will also be returned if you attempt to print a file that is not printable."},
    {32, "The specified dynamic-link library was not found."},
};
}  // namespace

std::string SystemErrorText(uint32_t code) {
    for (const auto& e : kSystemMessages)
        if (e.code == code) return std::string(e.text) + "\r\n";
    return {};
}

std::string ShellExecuteErrorText(int32_t code) {
    for (const auto& e : kShellExecuteTexts)
        if (static_cast<int32_t>(e.code) == code) return e.text;
    return "An unknown error occurred.";
}

}  // namespace vornel
