#include "tools/snlctl/VpdDump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "snl/SNLKVAInternal.h"
#include "tools/snlctl/Cli.h"

namespace snlctl {

namespace {
struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

constexpr unsigned char kGroups = 8;

struct Layout {
  size_t size;    // whole image
  size_t stored;  // what the board itself stores (size minus the bytes the host appends)
};

Layout LayoutOf(long type) {
  auto t = static_cast<KVPD_Device_Type>(type);
  try {
    unsigned int size = SNLKVAInternal::kva2GetInternalSize(t);
    unsigned int extra = SNLKVAInternal::kva2GetDiffExtraSize(t);
    return Layout{size, size - extra};
  } catch (const std::exception& e) {
    throw UsageError("invalid VPD type " + std::to_string(type) + ": " + ToUtf8(e.what()));
  }
}

void CheckSize(const std::string& path, size_t got, const Layout& l, long type) {
  if (got == l.size || got == l.stored) return;
  std::string want = std::to_string(l.size);
  if (l.stored != l.size) want += " (or " + std::to_string(l.stored) + " without the host part)";
  const char* what = got < l.stored ? "too short" : got > l.size ? "too large" : "of a wrong size";
  throw UsageError("VPD file '" + path + "' is " + what + ": " + std::to_string(got) +
                   " bytes, type " + std::to_string(type) + " needs " + want);
}

void PrintFields(KVPD_Device_Type t, unsigned char* image) {
  using namespace SNLKVAInternal;
  std::printf("vpd version:    %u\n", kva2GetVer(t, image));
  std::printf("board type:     0x%02x\n", kva2GetBoardType(t, image));
  std::printf("board subtype:  0x%02x\n", kva2GetBoardSubType(t, image));
  std::printf("board version:  %u\n", kva2GetBoardVersion(t, image));
  std::printf("serial:         %u\n", kva2GetSerial(t, image));
  std::printf("year:           %u\n", kva2GetYear(t, image));
  std::printf("security:       0x%08x\n", kva2GetSecNum(t, image));
  std::printf("links:          %d (groups:", kva2GetLinkCount(t, image));
  for (unsigned char g = 0; g < kGroups; ++g) std::printf(" %u", kva2GetChannelCount(t, image, g));
  std::printf(")\n");
  std::printf("resources:      0x%08x\n", kva2GetResources(t, image));
}
}  // namespace

std::vector<unsigned char> ReadImageFile(const std::string& path, size_t maxBytes) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) throw UsageError("cannot open VPD file '" + path + "': " + std::strerror(errno));
  // One byte more than allowed tells an oversized file without reading all of it.
  std::vector<unsigned char> data(maxBytes + 1);
  size_t got = std::fread(data.data(), 1, data.size(), f.get());
  if (std::ferror(f.get()))
    throw UsageError("cannot read VPD file '" + path + "': " + std::strerror(errno));
  if (got > maxBytes)
    throw UsageError("VPD file '" + path + "' is too large: more than " +
                     std::to_string(maxBytes) + " bytes");
  data.resize(got);
  return data;
}

int DumpVpdFile(const std::string& path, long type) {
  if (type < 0 || type > kMaxVpdType)
    throw UsageError("invalid VPD type " + std::to_string(type) + ": known types are 2, 4, 8, 22");
  Layout layout = LayoutOf(type);
  std::vector<unsigned char> image = ReadImageFile(path, layout.size);
  CheckSize(path, image.size(), layout, type);
  image.resize(layout.size, 0);

  auto t = static_cast<KVPD_Device_Type>(type);
  std::printf("file:           %s\n", path.c_str());
  std::printf("type:           %ld (%zu bytes)\n", type, layout.size);
  PrintFields(t, image.data());
  bool good = SNLKVAInternal::kva2GetCheck(t, image.data());
  std::printf("checksum:       %s\n", good ? "ok" : "BAD (stored value does not match)");
  return good ? kExitOk : kExitFailed;
}

}  // namespace snlctl
