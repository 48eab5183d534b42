#include "SnapshotFiles.h"

#include "FrameKernels.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <jpeglib.h>

#ifndef JCS_EXTENSIONS
#error "libjpeg-turbo is needed: rows go into the encoder as blue, green, red bytes"
#endif

namespace {

// ---- Files ----------------------------------------------------------------------------------

std::string NativeName(const QString& fileName) {
    return QFile::encodeName(fileName).toStdString();
}

QString SystemReason(int error) {
    return QString::fromStdString(std::error_code(error, std::generic_category()).message());
}

[[noreturn]] void Fail(const char* what, const QString& fileName, const QString& reason) {
    throw EFrameError(
        QStringLiteral("%1 %2. %3").arg(QLatin1String(what), fileName, reason).toStdString());
}

// A file that could not be read; its message names the file and is passed on as it is.
class EReadError : public EFrameError {
  public:
    using EFrameError::EFrameError;
};

[[noreturn]] void FailReading(const QString& fileName, int error) {
    const QString message =
        error == ENODATA
            ? QStringLiteral("Cannot read bitmap %1. The file is truncated.").arg(fileName)
            : QStringLiteral("Cannot read file %1. %2").arg(fileName, SystemReason(error));
    throw EReadError(message.toStdString());
}

class TFileDescriptor {
  public:
    explicit TFileDescriptor(int fd) : Fd(fd) {}
    ~TFileDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;

    int Get() const { return Fd; }
    // Closes now; 0 or the error of the close, which can be the first sign of a failed write.
    int Close() { return ::close(std::exchange(Fd, -1)) == 0 ? 0 : errno; }

  private:
    int Fd;
};

// A file this writer made, removed again unless the writer kept it.
class TMadeFile {
  public:
    explicit TMadeFile(std::string path, bool removable = true)
        : Path(std::move(path)), Kept(!removable) {}
    ~TMadeFile() {
        if (!Kept)
            ::unlink(Path.c_str());
    }
    TMadeFile(const TMadeFile&) = delete;
    TMadeFile& operator=(const TMadeFile&) = delete;

    void Keep() { Kept = true; }

  private:
    std::string Path;
    bool Kept;
};

// Reads or writes the pieces in order, in batches of IOV_MAX; 0, the error that stopped it, or
// ENODATA when a read meets the end of the file.
int Transfer(int fd, std::vector<iovec> pieces, ssize_t (*move)(int, const iovec*, int)) {
    std::size_t first = 0;
    while (first < pieces.size()) {
        const auto count = static_cast<int>(std::min<std::size_t>(pieces.size() - first, IOV_MAX));
        const ssize_t moved = move(fd, pieces.data() + first, count);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return moved < 0 ? errno : ENODATA;
        // Skips what went through, finishing inside a piece where the call stopped short.
        auto rest = static_cast<std::size_t>(moved);
        for (; first < pieces.size() && pieces[first].iov_len <= rest; ++first)
            rest -= pieces[first].iov_len;
        if (rest > 0) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + rest;
            pieces[first].iov_len -= rest;
        }
    }
    return 0;
}

// Reads the bytes at the offset; 0, the error that stopped it, or ENODATA at the end of the file.
int ReadAt(int fd, uchar* to, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, to, size, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : ENODATA;
        to += got;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}

iovec Piece(const void* data, std::size_t size) {
    // writev takes the same non-const pieces as readv but only reads them.
    return {const_cast<void*>(data), size};
}

// A new temporary name beside the target, created exclusively so no other file is touched; the
// kernel gives it the permissions of any freshly created file (0666 less the umask).
TFileDescriptor CreateTemporaryBeside(const std::string& target, std::string& temporaryName) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryName = target + ".tmp-" + std::to_string(QRandomGenerator::global()->generate());
        const int fd = ::open(temporaryName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return TFileDescriptor(fd);
    }
    return TFileDescriptor(-1);
}

// Gives the target's name to the new file; 0 or the error. Where the file system can, the two
// names are exchanged: ext4 starts writing a file out at once when a rename replaces another
// (about a millisecond a snapshot), but not for an exchange. `exchanged` says that the old
// file now has the temporary name.
int PutInPlace(const std::string& temporaryName, const std::string& target, bool& exchanged) {
    // Anything but a file in the way (a folder) keeps failing as a plain rename fails.
    struct stat existing {};
    const bool replacesFile = ::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    exchanged = replacesFile && ::renameat2(AT_FDCWD, temporaryName.c_str(), AT_FDCWD,
                                            target.c_str(), RENAME_EXCHANGE) == 0;
    if (exchanged)
        return 0;
    // No file there yet, or a file system without exchanges: a plain rename does it.
    if (replacesFile && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    return ::rename(temporaryName.c_str(), target.c_str()) == 0 ? 0 : errno;
}

// Writes the bytes to a temporary file beside the target and puts it in the target's place, so
// the name holds either the old file or the whole new one. No fsync: the rename alone keeps a
// reader or a crashed program from ever seeing half a file, and flushing every snapshot to the
// disk would cost as much as encoding it, for a file that is replaced seconds later.
void ReplaceFile(const QString& fileName, const QByteArray& bytes) {
    const std::string target = NativeName(fileName);
    std::string temporaryName;
    TFileDescriptor file = CreateTemporaryBeside(target, temporaryName);
    if (file.Get() < 0)
        Fail("Cannot create file", fileName, SystemReason(errno));
    TMadeFile temporary(temporaryName);
    int error = Transfer(
        file.Get(), {Piece(bytes.constData(), static_cast<std::size_t>(bytes.size()))}, &::writev);
    if (const int closeError = file.Close(); !error)
        error = closeError;
    bool exchanged = false;
    if (!error)
        error = PutInPlace(temporaryName, target, exchanged);
    if (error)
        Fail("Cannot create file", fileName, SystemReason(error));
    // After an exchange the guard removes the old file, which the archive ring still names.
    if (!exchanged)
        temporary.Keep();
}

// ---- Windows bitmaps ------------------------------------------------------------------------

constexpr qsizetype BitmapHeaderBytes = 14 + 40;

void PutLe(char* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint32_t GetLe(const char* at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | static_cast<std::uint8_t>(at[i]);
    return value;
}

qsizetype BitmapRowBytes(int width) {
    return (3 * static_cast<qsizetype>(width) + 3) & ~qsizetype{3};
}

QImage AsBgr888(const QImage& image) {
    return image.format() == QImage::Format_BGR888 ? image
                                                   : image.convertToFormat(QImage::Format_BGR888);
}

// The headers of a 24-bit bitmap of the image.
std::array<char, BitmapHeaderBytes> BitmapHeader(const QImage& bgr, const QString& fileName) {
    const qsizetype pixelBytes = BitmapRowBytes(bgr.width()) * bgr.height();
    if (BitmapHeaderBytes + pixelBytes > qsizetype{0xFFFFFFFF})
        Fail("Cannot create file", fileName, QStringLiteral("The image is too large."));
    std::array<char, BitmapHeaderBytes> header{};
    header[0] = 'B';
    header[1] = 'M';
    PutLe(&header[2], static_cast<std::uint32_t>(BitmapHeaderBytes + pixelBytes), 4);
    PutLe(&header[10], BitmapHeaderBytes, 4);
    PutLe(&header[14], 40, 4);
    PutLe(&header[18], static_cast<std::uint32_t>(bgr.width()), 4);
    PutLe(&header[22], static_cast<std::uint32_t>(bgr.height()), 4);
    PutLe(&header[26], 1, 2);
    PutLe(&header[28], 24, 2);
    PutLe(&header[34], static_cast<std::uint32_t>(pixelBytes), 4);
    return header;
}

// The rows of an image as the file stores them: bottom-up, each padded to four bytes. The pixels
// go straight between the image and the file, the padding to or from `padding`.
std::vector<iovec> BitmapRows(const uchar* bits, qsizetype bytesPerLine, QSize size,
                              char* padding) {
    const auto used = 3 * static_cast<std::size_t>(size.width());
    const auto pad = static_cast<std::size_t>(BitmapRowBytes(size.width())) - used;
    std::vector<iovec> pieces;
    pieces.reserve(2 * static_cast<std::size_t>(size.height()));
    for (int y = size.height() - 1; y >= 0; --y) {
        pieces.push_back(Piece(bits + y * bytesPerLine, used));
        if (pad > 0)
            pieces.push_back(Piece(padding, pad));
    }
    return pieces;
}

// The size of the pixels that the header announces, or a reason to refuse the file.
QString CheckBitmapHeader(const char* header, int& width, int& height) {
    if (header[0] != 'B' || header[1] != 'M')
        return QStringLiteral("It is not a bitmap file.");
    if (GetLe(header + 10, 4) != BitmapHeaderBytes || GetLe(header + 14, 4) != 40)
        return QStringLiteral("Its bitmap header is not the Windows 3 header.");
    if (GetLe(header + 26, 2) != 1 || GetLe(header + 28, 2) != 24)
        return QStringLiteral("It is not a 24-bit bitmap.");
    if (GetLe(header + 30, 4) != 0)
        return QStringLiteral("The bitmap is compressed.");
    width = static_cast<std::int32_t>(GetLe(header + 18, 4));
    height = static_cast<std::int32_t>(GetLe(header + 22, 4));
    if (width <= 0 || height <= 0)
        return QStringLiteral("The bitmap has no pixels or is stored top-down.");
    return {};
}

// A bitmap file open for reading, its header checked and its size found to hold the pixels.
struct TOpenBitmap {
    explicit TOpenBitmap(const QString& fileName)
        : Name(fileName), File(::open(NativeName(fileName).c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat status {};
        if (File.Get() < 0 || ::fstat(File.Get(), &status) != 0)
            Fail("Cannot open file", fileName, SystemReason(errno));
        std::array<char, BitmapHeaderBytes> header{};
        if (const int error =
                ReadAt(File.Get(), reinterpret_cast<uchar*>(header.data()), header.size(), 0))
            FailReading(fileName, error);
        if (const QString refusal = CheckBitmapHeader(header.data(), Width, Height);
            !refusal.isEmpty())
            Fail("Cannot read bitmap", fileName, refusal);
        RowBytes = BitmapRowBytes(Width);
        // Checked against the file's size before anything of the announced size is allocated.
        if (Height > (status.st_size - BitmapHeaderBytes) / RowBytes)
            FailReading(fileName, ENODATA);
    }

    QString Name;
    TFileDescriptor File;
    int Width = 0, Height = 0;
    qsizetype RowBytes = 0;
};

// ---- JPEG -----------------------------------------------------------------------------------

// The rows the encoder takes at once with the default sampling (one MCU row).
constexpr int BandRows = 2 * DCTSIZE;

// libjpeg hands error_exit a pointer to the manager, which is the first member here.
struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
    std::array<char, JMSG_LENGTH_MAX> Message;
};

[[noreturn]] void JumpOnError(j_common_ptr info) {
    auto* error = reinterpret_cast<TJpegError*>(info->err);
    (*info->err->format_message)(info, error->Message.data());
    std::longjmp(error->Jump, 1);
}

void IgnoreMessage(j_common_ptr) {}

// Where the encoder's rows come from, a band at a time, top row first.
class TRowSource {
  public:
    TRowSource(int width, int height) : Width(width), Height(height) {}
    virtual ~TRowSource() = default;
    TRowSource(const TRowSource&) = delete;
    TRowSource& operator=(const TRowSource&) = delete;

    // Points rows[0, count) at the picture's rows first to first + count - 1; throws
    // EFrameError when they cannot be had.
    virtual void Band(JDIMENSION first, JDIMENSION count, JSAMPROW* rows) = 0;

    const int Width, Height;
};

// The rows of an image in memory.
class TImageRows final : public TRowSource {
  public:
    explicit TImageRows(const QImage& bgr) : TRowSource(bgr.width(), bgr.height()), Image(bgr) {}
    void Band(JDIMENSION first, JDIMENSION count, JSAMPROW* rows) override {
        for (JDIMENSION i = 0; i < count; ++i)
            // libjpeg takes non-const rows but only reads them.
            rows[i] = const_cast<JSAMPROW>(Image.constScanLine(static_cast<int>(first + i)));
    }

  private:
    const QImage& Image;
};

// The rows of a bitmap file, read a band at a time into a buffer the size of one band. The
// file holds them bottom-up, so a band is one read from further down the file, turned over.
class TBitmapRows final : public TRowSource {
  public:
    explicit TBitmapRows(const TOpenBitmap& bitmap)
        : TRowSource(bitmap.Width, bitmap.Height), Bitmap(bitmap),
          Buffer(std::make_unique_for_overwrite<uchar[]>(
              static_cast<std::size_t>(std::min(BandRows, bitmap.Height) * bitmap.RowBytes))) {}
    void Band(JDIMENSION first, JDIMENSION count, JSAMPROW* rows) override {
        const auto rowBytes = static_cast<std::size_t>(Bitmap.RowBytes);
        const auto below = static_cast<std::size_t>(Height) - first - count;
        if (const int error = ReadAt(Bitmap.File.Get(), Buffer.get(), count * rowBytes,
                                     static_cast<off_t>(BitmapHeaderBytes + below * rowBytes)))
            FailReading(Bitmap.Name, error);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = Buffer.get() + (count - 1 - i) * rowBytes;
    }

  private:
    const TOpenBitmap& Bitmap;
    std::unique_ptr<uchar[]> Buffer;
};

// One compression into a caller's buffer; destroying it releases everything libjpeg holds.
struct TJpegJob {
    TJpegJob(TRowSource& source, int quality, QByteArray& buffer)
        : Source(source), Quality(quality), Output(reinterpret_cast<unsigned char*>(buffer.data())),
          OutputSize(static_cast<unsigned long>(buffer.size())) {
        Info.err = jpeg_std_error(&Error.Manager);
        Error.Manager.error_exit = &JumpOnError;
        Error.Manager.output_message = &IgnoreMessage;
    }
    ~TJpegJob() { jpeg_destroy_compress(&Info); }
    TJpegJob(const TJpegJob&) = delete;
    TJpegJob& operator=(const TJpegJob&) = delete;

    jpeg_compress_struct Info{};
    TJpegError Error{};
    TRowSource& Source;
    int Quality;
    unsigned char* Output;
    unsigned long OutputSize;
};

// Runs libjpeg from creation to the last row. libjpeg reports an error by jumping back here,
// so this function holds nothing that has a destructor; a source that throws does so between
// library calls, and the job's destructor releases the library's state.
bool Compress(TJpegJob* job) {
    if (setjmp(job->Error.Jump))
        return false;
    jpeg_create_compress(&job->Info);
    jpeg_mem_dest(&job->Info, &job->Output, &job->OutputSize);
    job->Info.image_width = static_cast<JDIMENSION>(job->Source.Width);
    job->Info.image_height = static_cast<JDIMENSION>(job->Source.Height);
    job->Info.input_components = 3;
    job->Info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&job->Info);
    jpeg_set_quality(&job->Info, job->Quality, TRUE);
    jpeg_start_compress(&job->Info, TRUE);
    // One band of rows a call, as many as the encoder takes at once (an MCU row).
    std::array<JSAMPROW, BandRows> band{};
    while (job->Info.next_scanline < job->Info.image_height) {
        const JDIMENSION first = job->Info.next_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(band.size(), job->Info.image_height - first);
        job->Source.Band(first, count, band.data());
        jpeg_write_scanlines(&job->Info, band.data(), count);
    }
    jpeg_finish_compress(&job->Info);
    return true;
}

// The most a JPEG of the size can take with the default sampling (chroma halved both ways):
// three bytes a pixel of whole 16x16 blocks plus the headers, as libjpeg-turbo bounds it. The
// library then never grows the buffer on its own; only the pages it writes are touched.
qsizetype JpegBound(int width, int height) {
    const auto block = [](int n) {
        return (static_cast<qsizetype>(n) + 15) / 16 * 16;
    };
    return block(width) * block(height) * 3 + 4096;
}

// The encoded bytes; throws the source's failures as they are and the encoder's with a reason
// but no file name.
QByteArray Encode(TRowSource& source, int quality) {
    QByteArray buffer(JpegBound(source.Width, source.Height), Qt::Uninitialized);
    TJpegJob job(source, quality, buffer);
    if (!Compress(&job))
        throw EFrameError(job.Error.Message.data());
    const auto size = static_cast<qsizetype>(job.OutputSize);
    if (job.Output != reinterpret_cast<unsigned char*>(buffer.data())) {
        // Should the bound ever be short, the library grows into a buffer of its own, which is
        // ours to free once it has finished.
        const std::unique_ptr<unsigned char, decltype(&std::free)> own(job.Output, &std::free);
        return QByteArray(reinterpret_cast<const char*>(own.get()), size);
    }
    buffer.truncate(size);
    return buffer;
}

QByteArray Encode(const QImage& image, int quality) {
    const QImage bgr = AsBgr888(image);
    if (bgr.isNull())
        throw EFrameError("The image is empty.");
    TImageRows rows(bgr);
    return Encode(rows, quality);
}

// Encodes from the source into the file; the encoder's failures name the file.
template <typename TSource> void WriteJpeg(TSource&& source, const QString& fileName, int quality) {
    QByteArray bytes;
    try {
        bytes = Encode(source, quality);
    } catch (const EReadError&) {
        throw;
    } catch (const EFrameError& error) {
        Fail("Cannot create file", fileName, QString::fromUtf8(error.what()));
    }
    ReplaceFile(fileName, bytes);
}

} // namespace

void WriteBitmapFile(const QImage& image, const QString& fileName) {
    const QImage bgr = AsBgr888(image);
    if (bgr.isNull())
        Fail("Cannot create file", fileName, QStringLiteral("The image is empty."));
    std::array<char, BitmapHeaderBytes> header = BitmapHeader(bgr, fileName);
    std::array<char, 3> zeros{};
    std::vector<iovec> pieces =
        BitmapRows(bgr.constBits(), bgr.bytesPerLine(), bgr.size(), zeros.data());
    pieces.insert(pieces.begin(), Piece(header.data(), header.size()));

    const std::string path = NativeName(fileName);
    TFileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.Get() < 0)
        Fail("Cannot create file", fileName, SystemReason(errno));
    // Only a regular file is ours to remove again; a device or pipe under the name is not.
    struct stat status {};
    TMadeFile written(path, ::fstat(file.Get(), &status) == 0 && S_ISREG(status.st_mode));
    int error = Transfer(file.Get(), std::move(pieces), &::writev);
    if (const int closeError = file.Close(); !error)
        error = closeError;
    if (error)
        Fail("Cannot write file", fileName, SystemReason(error));
    written.Keep();
}

QImage ReadBitmapFile(const QString& fileName) {
    const TOpenBitmap bitmap(fileName);
    QImage image(bitmap.Width, bitmap.Height, QImage::Format_BGR888);
    if (image.isNull())
        Fail("Cannot read bitmap", fileName, QStringLiteral("The bitmap is too large."));
    std::array<char, 3> padding{};
    if (::lseek(bitmap.File.Get(), BitmapHeaderBytes, SEEK_SET) < 0)
        FailReading(fileName, errno);
    if (const int error = Transfer(
            bitmap.File.Get(),
            BitmapRows(image.bits(), image.bytesPerLine(), image.size(), padding.data()), &::readv))
        FailReading(fileName, error);
    return image;
}

QByteArray EncodeJpeg(const QImage& image, int quality) {
    try {
        return Encode(image, quality);
    } catch (const EFrameError& error) {
        throw EFrameError(std::string("Cannot encode JPEG. ") + error.what());
    }
}

void WriteJpegFile(const QImage& image, const QString& fileName, int quality) {
    WriteJpeg(image, fileName, quality);
}

void WriteJpegFileFromBitmap(const QString& bitmapFileName, const QString& fileName, int quality) {
    const TOpenBitmap bitmap(bitmapFileName);
    TBitmapRows rows(bitmap);
    WriteJpeg(rows, fileName, quality);
}

QString ArchiveSlotName(const QString& base, int index) {
    return base + QString::asprintf("%.4d", index) + QStringLiteral(".jpg");
}

namespace {

// The errors of link(2) that mean the file system has no hard links (or none to spare here).
bool MeansNoLinks(int error) {
    constexpr std::array noLinks{EPERM, EXDEV, EMLINK, ENOTSUP, EOPNOTSUPP, ENOSYS};
    return std::find(noLinks.begin(), noLinks.end(), error) != noLinks.end();
}

// The newest snapshot's bytes copied to the slot, through a temporary file like any JPEG. False
// when there is no newest snapshot.
bool CopyNewestIntoSlot(const QString& newest, const QString& slot) {
    const TFileDescriptor file(::open(NativeName(newest).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 && errno == ENOENT)
        return false;
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0)
        Fail("Cannot open file", newest, SystemReason(errno));
    QByteArray bytes(static_cast<qsizetype>(status.st_size), Qt::Uninitialized);
    if (const int error = ReadAt(file.Get(), reinterpret_cast<uchar*>(bytes.data()),
                                 static_cast<std::size_t>(bytes.size()), 0))
        FailReading(newest, error);
    ReplaceFile(slot, bytes);
    return true;
}

} // namespace

bool PutNewestIntoSlot(const QString& base, int index) {
    const QString slot = ArchiveSlotName(base, index);
    const QString newest = base + QStringLiteral(".jpg");
    const std::string slotPath = NativeName(slot);
    if (::unlink(slotPath.c_str()) != 0 && errno != ENOENT)
        Fail("Cannot delete file", slot, SystemReason(errno));
    // A second name for the newest file, which stays in place until the next snapshot's rename
    // replaces it: a reader never finds the newest name missing.
    if (::link(NativeName(newest).c_str(), slotPath.c_str()) == 0)
        return true;
    if (MeansNoLinks(errno))
        return CopyNewestIntoSlot(newest, slot);
    return false;
}

void KeepFrameBuffersInHeap() {
    constexpr int mapAbove = 32 * 1024 * 1024;
    ::mallopt(M_MMAP_THRESHOLD, mapAbove);
    ::mallopt(M_TRIM_THRESHOLD, 2 * mapAbove);
}
