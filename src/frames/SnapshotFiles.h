#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Windows 24-bit bitmap files (BITMAPFILEHEADER + BITMAPINFOHEADER, bottom-up rows padded to
// four bytes). Both throw EFrameError with the file name and the reason.
void WriteBitmapFile(const QImage& image, const QString& fileName);
QImage ReadBitmapFile(const QString& fileName); // answers Format_BGR888

// Encodes the image as a baseline JPEG of the given quality (3 components, library defaults
// otherwise) through libjpeg, into a temporary file in the same folder that replaces fileName
// only when complete. Throws EFrameError; never leaves a partial file under either name.
void WriteJpegFile(const QImage& image, const QString& fileName, int quality = 100);

// The same JPEG file from a bitmap file as WriteBitmapFile writes it, byte for byte what
// WriteJpegFile(ReadBitmapFile(bitmapFileName), fileName) gives. The rows go from the file into
// the encoder a band at a time, so no picture-sized copy is made. Throws EFrameError naming the
// bitmap when it cannot be read and the JPEG file when that cannot be written.
void WriteJpegFileFromBitmap(const QString& bitmapFileName, const QString& fileName,
                             int quality = 100);

// The same encoder into memory, for callers (and benchmarks) that keep the bytes.
QByteArray EncodeJpeg(const QImage& image, int quality = 100);

// The archive ring's numbered file for the index: base + "0001.jpg" and on.
QString ArchiveSlotName(const QString& base, int index);

// Puts the newest snapshot, base + ".jpg", into the ring's slot, whose file it replaces, and
// leaves it under its own name too: a hard link, or a copy where the file system has no links.
// False when there is no newest snapshot to put there; throws EFrameError when the slot's file
// cannot be deleted (and then puts nothing there) or the copy fails.
bool PutNewestIntoSlot(const QString& base, int index);

// Frame-sized buffers (a 1080p bitmap is 6 MB) would otherwise be mapped fresh from the kernel
// for every snapshot and faulted in page by page; kept in the heap they are reused. Called once
// at program start, before any frame is allocated.
void KeepFrameBuffersInHeap();
