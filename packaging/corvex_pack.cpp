// corvex_pack: turns the linked package library into the package file by copying it and
// appending the package information block.
//
//   corvex_pack --input LIBRARY --output FILE.pck --version VERSION --description TEXT
//               [--date YYYYMMDD]
//
// FILENAME is the output's file name, VERSION and DESCRIPTION are the caller's: every package
// names itself.
// DATE is the UTC build date, or the date of SOURCE_DATE_EPOCH when it is set, so that builds are
// reproducible. The file is written under a temporary name and renamed into place.
#include "packaging/vant_package_info.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

int Usage() {
  std::fprintf(stderr, "usage: corvex_pack --input LIBRARY --output FILE.pck --version VERSION "
                       "--description TEXT [--date YYYYMMDD]\n");
  return 2;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ValidDate(const std::string& date) {
  if (date.size() != 8) {
    return false;
  }
  for (char c : date) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  std::string input, output, version, description, date;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) {
      return Usage();
    }
    const std::string value = argv[++i];
    if (option == "--input") {
      input = value;
    } else if (option == "--output") {
      output = value;
    } else if (option == "--version") {
      version = value;
    } else if (option == "--description") {
      description = value;
    } else if (option == "--date") {
      date = value;
    } else {
      return Usage();
    }
  }
  if (input.empty() || output.empty() || version.empty() || description.empty()) {
    return Usage();
  }
  if (date.empty()) {
    date =
        VANT::BuildDate(std::getenv("SOURCE_DATE_EPOCH"), static_cast<int64_t>(std::time(nullptr)));
  }
  if (!ValidDate(date)) {
    std::fprintf(stderr, "corvex_pack: DATE must be eight digits, not '%s'\n", date.c_str());
    return 2;
  }

  std::vector<uint8_t> image;
  if (!VANT::ReadWholeFile(input, image) || image.empty()) {
    std::fprintf(stderr, "corvex_pack: cannot read %s\n", input.c_str());
    return 1;
  }
  const VANT::PackageDescription package{BaseName(output), version, date, description};
  const std::vector<VANT::PackageInfoEntry> entries =
      VANT::PackageEntries(package, image.data(), image.size());
  // What the engine would refuse is never written: the same checks as at loading.
  VANT::PackageInfo info;
  info.entries = entries;
  const std::vector<std::string> problems = VANT::CheckPackageEntries(info);
  if (!problems.empty()) {
    for (const std::string& problem : problems) {
      std::fprintf(stderr, "corvex_pack: %s\n", problem.c_str());
    }
    return 2;
  }
  std::string block;
  if (!VANT::BuildPackageInfoBlock(entries, block)) {
    std::fprintf(stderr, "corvex_pack: invalid package information\n");
    return 1;
  }

  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "corvex_pack: cannot write %s\n", temporary.c_str());
      std::remove(temporary.c_str());
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::fprintf(stderr, "corvex_pack: cannot rename %s to %s: %s\n", temporary.c_str(),
                 output.c_str(), std::strerror(errno));
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}
