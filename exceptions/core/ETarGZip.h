// Archives of the exception-reporting library (unit ETarGZip): CRC-32, a
// memory buffer stored as a single-member gzip file and a gzip image unpacked
// again, and TTGZWriter, which builds a tar archive in memory and writes it
// out as a gzip file when it is destroyed (the sender's CompressFiles.tgz).
// Pure logic apart from reading and writing files (ETarGZipFileTime.cpp
// reads a file's time from the system).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ECoreOptions.h"
#include "ECoreText.h"
#include "EZlib.h"

namespace qov::exceptions {

// CRC-32 as gzip computes it (reflected polynomial 0xEDB88320, start value
// 0xFFFFFFFF, final complement); 0 for a null buffer.
uint32_t Crc32Update(const void* buffer, size_t length);

// Writes content as a gzip file at path (created or replaced): FNAME is the
// file-name part of path with its extension replaced by ".tar", MTIME 0, XFL
// 0, OS 0. File errors raise EFCreateError or EWriteError, sizes that
// CompressBuffer refuses EZLibError.
void SaveGzip(const std::string& content, const std::string& path);
// The bytes of a gzip image in memory: the file's whole form.
std::string GzipImage(const std::string& content, const std::string& path);

// Unpacks the gzip image from input's position to its end and writes the
// bytes to output. The signature, method and trailer are not checked, nor
// the extra-field, comment and header-CRC flags; an image shorter than its
// header and trailer, a stored name without its closing zero, or damaged or
// cut deflate data raise EZLibError and write nothing.
void LoadGzip(TOptionsStream& input, TOptionsStream& output);

// The last-write time of a file as its directory entry gives it (UTC); 0 when
// it cannot be read or the name is a folder.
TDateTime FileWriteTimeUtc(const std::string& fileName);

// Tar octal fields: 11 digits and a blank (size, time) or 6 digits, a blank
// and a zero byte (mode, owner, group, checksum); leading zero digits become
// blanks, the last digit never does.
void TarOctal12(char field[12], uint32_t value);
void TarOctal8(char field[8], uint32_t value);
// Seconds since 1970 of a date-time for a tar header: the fraction cut off,
// 0 for times before 1970, the largest 32-bit value for times past it.
uint32_t TarTime(TDateTime time);
// One 512-byte header block of a regular file: the name cut to 100
// characters, mode, owner and group 0, "ustar" and three blanks, the
// checksum over the block with its own field counted as blanks.
std::string TarHeader(const std::string& name, uint32_t size, TDateTime time);

// A tar archive built in memory, one member at a time, and written to its
// gzip file by the destructor: ONE closing zero block, then SaveGzip.
class TTGZWriter {
public:
    // Nothing is opened or checked before the destructor.
    explicit TTGZWriter(std::string archiveFileName);
    // Writes the archive. A failure to write raises to the caller, except
    // while another exception unwinds the stack, when it is dropped.
    ~TTGZWriter() noexcept(false);
    TTGZWriter(const TTGZWriter&) = delete;
    TTGZWriter& operator=(const TTGZWriter&) = delete;

    // One member with the whole file; stored under the file-name part of
    // archiveName, or of fileName when archiveName is empty, with the file's
    // last-write time. A file that cannot be opened raises EFOpenError.
    void AddFile(const std::string& fileName, const std::string& archiveName = std::string());
    // One member with the stream's bytes from its position to its end.
    void AddStream(TOptionsStream& stream, const std::string& name, TDateTime time);

    // The tar image built so far (without the closing block).
    const std::string& TarImage() const { return FTar; }

private:
    std::string FFileName;
    std::string FTar;
    int FUncaught;
};

} // namespace qov::exceptions
