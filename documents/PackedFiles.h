#pragma once

#include "documents/Extraction.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tolvane {

// The files a packed document (EPUB, DOCX, ODT) is made of, read by name.
class PackedFiles {
  public:
    virtual ~PackedFiles() = default;
    virtual bool has(std::string_view name) const = 0;
    // The unpacked bytes of `name`; false with the problem recorded when it
    // is missing, damaged or over the limits.
    virtual bool read(std::string_view name, std::string& bytes, Extraction& extraction) = 0;
};

// A zip archive in memory, through libzip. Opening checks the number of
// entries; each read checks the size the entry declares and stops as soon as
// what it unpacks passes the per-entry or the total limit, so an archive that
// understates its sizes is refused after at most the limit's worth of work.
class ZipFiles : public PackedFiles {
  public:
    ZipFiles();
    ~ZipFiles() override;

    // Opens `bytes`, which must outlive the object.
    bool open(std::string_view bytes, Extraction& extraction);

    bool has(std::string_view name) const override;
    bool read(std::string_view name, std::string& bytes, Extraction& extraction) override;

  private:
    struct Archive;
    std::unique_ptr<Archive> archive_;
    size_t unpacked_ = 0; // by every read so far
};

// Files given by name, for the fuzz targets and the tests of the readers.
class NamedFiles : public PackedFiles {
  public:
    std::map<std::string, std::string, std::less<>> files;

    bool has(std::string_view name) const override { return files.count(name) > 0; }
    bool read(std::string_view name, std::string& bytes, Extraction& extraction) override;
};

} // namespace tolvane
