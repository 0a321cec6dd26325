#include "pe/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/system_io.h"
#include "pe/image_checksum.h"

namespace {

// Opens `path` as a regular file of at most `limit` bytes.
bool OpenRegular(const std::string& path, std::uint64_t limit, int* fd, std::uint64_t* size,
                 Report* report) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (*fd < 0) {
    return Refuse(report, path, SystemError("cannot open"));
  }
  struct stat status {};
  std::string problem;
  if (::fstat(*fd, &status) != 0) {
    problem = SystemError("cannot read");
  } else if (!S_ISREG(status.st_mode)) {
    problem = S_ISDIR(status.st_mode) ? "a folder, not a regular file" : "not a regular file";
  } else if (static_cast<std::uint64_t>(status.st_size) > limit) {
    problem = std::to_string(status.st_size) + " bytes, more than the " + std::to_string(limit) +
              " bytes it may hold";
  }
  if (!problem.empty()) {
    CloseIfOpen(fd);
    return Refuse(report, path, problem);
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

}  // namespace

bool OpenImageFile(const std::string& path, std::uint64_t limit, ImageFile* image, Report* report) {
  int fd = -1;
  std::uint64_t size = 0;
  return OpenRegular(path, limit, &fd, &size, report) &&
         ImageFromDescriptor(path, fd, image, report);
}

bool ImageFromDescriptor(const std::string& path, int fd, ImageFile* image, Report* report) {
  *image = ImageFile{};
  image->path = path;
  image->fd = fd;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    CloseImageFile(image);
    return Refuse(report, path, SystemError("cannot read"));
  }
  image->size = static_cast<std::uint64_t>(status.st_size);
  image->head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(image->size, kHeadSize)));
  const ReadResult read = ReadFull(fd, 0, image->head.size(), image->head.data());
  if (read != ReadResult::kRead) {
    CloseImageFile(image);
    return Refuse(report, path, ReadProblem(read));
  }
  return true;
}

ImageFile ImageInMemory(const std::string& path, Bytes bytes) {
  ImageFile image;
  image.path = path;
  image.size = bytes.size();
  image.head = std::move(bytes);
  return image;
}

void CloseImageFile(ImageFile* image) { CloseIfOpen(&image->fd); }

namespace {

ReadResult ReadImageAt(const ImageFile& image, std::uint64_t at, std::size_t size,
                       std::uint8_t* out) {
  if (at > image.size || image.size - at < size) {
    return ReadResult::kEnded;
  }
  if (size == 0) {
    return ReadResult::kRead;  // `out` may be an empty vector's null data()
  }
  if (at + size <= image.head.size()) {
    std::memcpy(out, image.head.data() + at, size);
    return ReadResult::kRead;
  }
  return image.fd >= 0 ? ReadFull(image.fd, at, size, out) : ReadResult::kEnded;
}

}  // namespace

bool ReadAt(const ImageFile& image, std::uint64_t at, std::size_t size, std::uint8_t* out) {
  return ReadImageAt(image, at, size, out) == ReadResult::kRead;
}

bool ReadField(const ImageFile& image, std::uint64_t record, Field field, std::uint32_t* value) {
  std::uint8_t bytes[4] = {};
  if (field.width > sizeof bytes || !ReadAt(image, record + field.offset, field.width, bytes)) {
    return false;
  }
  *value = 0;
  for (std::uint32_t i = 0; i < field.width; ++i) {
    *value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
  return true;
}

bool ScanImage(const ImageFile& image, std::uint64_t checkSumAt, const std::vector<Span>& spans,
               std::uint32_t* checkSum, Report* report) {
  Bytes chunk(kChunkSize);
  CheckSum sum;
  if (image.fd >= 0) {
    (void)::posix_fadvise(image.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  for (std::uint64_t at = 0; at < image.size;) {
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, image.size - at));
    const ReadResult read = ReadImageAt(image, at, size, chunk.data());
    if (read != ReadResult::kRead) {
      return Refuse(report, image.path, ReadProblem(read));
    }
    for (const Span& span : spans) {
      const std::uint64_t from = std::max(at, span.at);
      const std::uint64_t to = std::min(at + size, span.at + span.size);
      if (from < to &&
          !span.take(chunk.data() + (from - at), static_cast<std::size_t>(to - from))) {
        return false;
      }
    }
    // The checksum field counts as zero.
    for (std::uint64_t i = std::max(at, checkSumAt); i < std::min(at + size, checkSumAt + 4); ++i) {
      chunk[static_cast<std::size_t>(i - at)] = 0;
    }
    AddToCheckSum(&sum, chunk.data(), size);
    at += size;
  }
  *checkSum = FinishCheckSum(sum);
  return true;
}

bool ReadSmallFile(const std::string& path, std::uint64_t limit, Bytes* bytes, Report* report) {
  int fd = -1;
  std::uint64_t size = 0;
  if (!OpenRegular(path, limit, &fd, &size, report)) {
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size));
  ReadResult read = ReadFull(fd, 0, bytes->size(), bytes->data());
  std::uint8_t more = 0;
  // A file that grew since its size was taken is as changed as one that shrank.
  if (read == ReadResult::kRead && ::pread(fd, &more, 1, static_cast<off_t>(size)) > 0) {
    read = ReadResult::kEnded;
  }
  (void)::close(fd);
  return read == ReadResult::kRead || Refuse(report, path, ReadProblem(read));
}
