// Building packages and tar archives byte by byte for the tests, including broken ones that no
// tool would write.
#ifndef ZN_TESTS_SUPPORT_PACKAGE_H
#define ZN_TESTS_SUPPORT_PACKAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace zn_test {

// Path of the built installer and package tool.
std::string installer_binary();
std::string znpack_binary();

std::string bzip2_compress(const std::string &data, int level = 9);
// One zstd frame with a content checksum, as znpack writes them.
std::string zstd_compress(const std::string &data, int level = 19);

struct Record {
    unsigned type;
    std::string body;
    int64_t length_override = -1;  // a body length to write instead of the real one
};

Record env_record(const std::string &text, bool with_nul = true);
Record program_record(const std::string &program);
// Archives and scripts are compressed as their type says: bzip2, or zstd for types 20 and 21.
Record archive_record(const std::string &tar, unsigned type = 2);
Record script_record(const std::string &script, unsigned type = 11);
Record welcome_record(const std::string &text);

// Writes stub (default: the installer) followed by a package of the records to path, fills in
// the payload length and CRC, and makes it executable. Returns the offset of the header.
uint64_t write_package(const std::string &path, const std::vector<Record> &records,
                       const std::string &stub = "");

// The same as bytes, for tests that cut or change them. Fixes length and CRC; breaking them is up
// to the caller.
std::string package_bytes(const std::vector<Record> &records, const std::string &stub = "");

// Recomputes the payload length and CRC of package bytes in place (header at offset).
void fix_package(std::string &bytes, uint64_t header_offset);

// A ustar archive writer whose every field can be set by hand.
class TarBuilder {
   public:
    struct Header {
        std::string name;
        int mode = 0644;
        uint64_t size = 0;
        char type = '0';
        std::string linkname;
        std::string prefix;
        std::string size_field;         // raw text of the size field instead of the octal size
        std::string mode_field;         // raw text of the mode field
        bool name_without_nul = false;  // fill all 100 bytes of the name
        bool bad_checksum = false;
        bool old_gnu = false;  // magic "ustar  " (old GNU headers keep other data in prefix)
        int64_t mtime = 0;
    };

    TarBuilder &file(const std::string &name, const std::string &data, int mode = 0644);
    TarBuilder &dir(const std::string &name, int mode = 0755);
    TarBuilder &symlink(const std::string &name, const std::string &target);
    TarBuilder &hardlink(const std::string &name, const std::string &target);
    // A header as given, then data (padded to 512).
    TarBuilder &entry(const Header &h, const std::string &data);
    TarBuilder &gnu_longname(const std::string &long_name);    // an 'L' entry
    TarBuilder &gnu_longlink(const std::string &long_target);  // a 'K' entry
    TarBuilder &pax(const std::vector<std::pair<std::string, std::string>> &records,
                    char type = 'x');
    TarBuilder &raw(const std::string &bytes);
    // Two zero blocks; the result.
    std::string finish(int zero_blocks = 2);
    std::string bytes() const { return out_; }

    static std::string header_block(const Header &h);

   private:
    std::string out_;
};

}  // namespace zn_test

#endif  // ZN_TESTS_SUPPORT_PACKAGE_H
