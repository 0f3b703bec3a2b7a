#include "documents/PackedFiles.h"

#include <zip.h>

#include <algorithm>

namespace tolvane {

namespace {

struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

std::string quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

} // namespace

struct ZipFiles::Archive {
    zip_t* zip = nullptr;
    ~Archive() {
        if (zip != nullptr) {
            zip_discard(zip);
        }
    }
};

ZipFiles::ZipFiles() = default;
ZipFiles::~ZipFiles() = default;

bool ZipFiles::open(std::string_view bytes, Extraction& extraction) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source == nullptr) {
        zip_error_fini(&error);
        return extraction.fail(DocumentError::kTooLarge, "no memory for the archive");
    }
    archive_ = std::make_unique<Archive>();
    archive_->zip = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive_->zip == nullptr) {
        zip_source_free(source);
        const std::string why = zip_error_strerror(&error);
        zip_error_fini(&error);
        return extraction.fail(DocumentError::kMalformed, "the archive: " + why);
    }
    zip_error_fini(&error);
    const zip_int64_t entries = zip_get_num_entries(archive_->zip, 0);
    if (entries < 0 || uint64_t(entries) > extraction.limits().entries) {
        return extraction.fail(DocumentError::kTooManyEntries,
                               std::to_string(entries) + " entries");
    }
    return true;
}

bool ZipFiles::has(std::string_view name) const {
    return archive_ && zip_name_locate(archive_->zip, std::string(name).c_str(), 0) >= 0;
}

bool ZipFiles::read(std::string_view name, std::string& bytes, Extraction& extraction) {
    bytes.clear();
    if (!extraction.inTime()) {
        return false;
    }
    const zip_int64_t index = zip_name_locate(archive_->zip, std::string(name).c_str(), 0);
    zip_stat_t stat;
    if (index < 0 || zip_stat_index(archive_->zip, zip_uint64_t(index), 0, &stat) != 0) {
        return extraction.fail(DocumentError::kMalformed, quoted(name) + " is missing");
    }
    const DocumentLimits& limits = extraction.limits();
    const size_t allowed = std::min(limits.entryBytes, limits.totalBytes - unpacked_);
    if ((stat.valid & ZIP_STAT_SIZE) != 0 && stat.size > allowed) {
        return extraction.fail(DocumentError::kUnpackedTooLarge, quoted(name) + " unpacks to " +
                                                                     std::to_string(stat.size) +
                                                                     " bytes");
    }
    const std::unique_ptr<zip_file_t, ZipFileClose> file(
        zip_fopen_index(archive_->zip, zip_uint64_t(index), 0));
    if (!file) {
        return extraction.fail(DocumentError::kMalformed,
                               quoted(name) + ": " + zip_strerror(archive_->zip));
    }
    char buffer[65536];
    while (true) {
        const zip_int64_t got = zip_fread(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            return extraction.fail(DocumentError::kMalformed,
                                   quoted(name) + ": " + zip_file_strerror(file.get()));
        }
        if (got == 0) {
            break;
        }
        // The declared size may be a lie; what comes out is what counts.
        if (bytes.size() + size_t(got) > allowed) {
            return extraction.fail(DocumentError::kUnpackedTooLarge,
                                   quoted(name) + " unpacks to more than " +
                                       std::to_string(allowed) + " bytes");
        }
        bytes.append(buffer, size_t(got));
    }
    unpacked_ += bytes.size();
    return true;
}

bool NamedFiles::read(std::string_view name, std::string& bytes, Extraction& extraction) {
    const auto found = files.find(name);
    if (found == files.end()) {
        return extraction.fail(DocumentError::kMalformed, quoted(name) + " is missing");
    }
    bytes = found->second;
    return true;
}

} // namespace tolvane
