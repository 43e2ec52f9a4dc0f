// The file read connection over a folder that each input lays out: the main
// file under one of several names, "common.zpo", the stem's ".zpo", numbered
// parts (with a gap after which nothing is read) and override files. Read
// through the factory as a user would, the stream must be exactly the files
// joined in their order, before and after a seek, the override text must be
// the one the files choose, a log copy must hold the source bytes once, split
// as asked, and no file may stay open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <scanlib/connection.hpp>

#include "../scanlib/src/connection_internal.hpp"
#include "leakcheck.hpp"

namespace {

using scanlib::basic_rconnection;
using scanlib::basic_wconnection;

// The folder the inputs are laid out in, removed again at exit.
struct folder {
    std::string root;
    std::map<std::string, std::string> files;  // of the current input

    folder() {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        root = std::string(base) + "/fuzz_fileconn." + std::to_string(::getpid());
        for (const char* sub : {"", "/run.1", "/d"}) ::mkdir((root + sub).c_str(), 0700);
    }
    ~folder() {
        clear();
        for (const char* sub : {"/run.1", "/d", ""}) ::rmdir((root + sub).c_str());
    }
    void clear() {
        for (const auto& f : files) ::unlink(f.first.c_str());
        files.clear();
    }
    void write(const std::string& path, const std::string& bytes) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) std::abort();
        if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::abort();
        ::close(fd);
        files[path] = bytes;
    }
    const std::string* find(const std::string& path) const {
        auto it = files.find(path);
        return it == files.end() ? nullptr : &it->second;
    }
};

// Takes length-prefixed pieces off the input; what is missing reads as empty.
struct pieces {
    const std::uint8_t* p;
    std::size_t left;
    std::string next() {
        if (left == 0) return {};
        std::size_t n = std::min<std::size_t>(*p++, --left);
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        return s;
    }
};

std::string part_name(const std::string& path, unsigned k) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", k);
    return path + suffix;
}

std::vector<std::string> hook_texts;

bool read_whole(const std::string& path, std::string& bytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, std::size_t(n));
    ::close(fd);
    return true;
}

// Everything readsome delivers until eof, in calls of `step` bytes.
// One buffer for every read: zeroing a fresh one per input would cost more
// than the reads.
char* read_buffer() {
    static std::vector<char> buf(0x40000);
    return buf.data();
}

std::string drain(basic_rconnection& c, std::size_t step) {
    std::string all;
    char* buf = read_buffer();
    for (int guard = 0; guard < 1 << 20; ++guard) {
        std::size_t k = c.readsome(buf, step);
        if (k > step) std::abort();
        if (k == 0 && c.eof) return all;
        all.append(buf, k);
    }
    std::abort();  // a stream of finite files that never ends
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static folder dir;
    const fuzzcheck::resources before;
    static bool hooked = [] {
        // Identity override: the header id goes back unchanged, so the stream
        // must come out as stored while the text that reached it is recorded.
        scanlib::detail::set_hreplace_hook([](std::shared_ptr<basic_rconnection> in,
                                              std::shared_ptr<basic_wconnection> out, const std::string& text) {
            hook_texts.push_back(text);
            char id[8];
            in->read(id, sizeof id);
            out->write(id, in->gcount);
        });
        return true;
    }();
    (void)hooked;
    if (size < 3) return 0;
    const std::uint8_t layout = data[0], parts_byte = data[1], seek_byte = data[2];
    pieces in{data + 3, size - 3};

    // Names chosen to meet the prefix rules: a main file that is a prefix
    // file itself, a stem without extension, a dot in the directory name.
    static const char* const names[] = {"scan.zpk", "scan", "common.zpo", "scan.zpo",
                                        "run.1/scan", "d/scan.zpk", "common", "d/x.y.zpk"};
    const std::string main = dir.root + "/" + names[layout & 7];
    const std::size_t sep = main.rfind('/'), dot = main.rfind('.');
    const std::string stem = dot != std::string::npos && dot > sep ? main.substr(0, dot) : main;
    const std::string folder_of = main.substr(0, sep + 1);

    const bool has_common = layout & 8, has_stem_zpo = layout & 16, has_pxp = layout & 32,
               has_override = layout & 64, given_text = layout & 128;
    const unsigned parts = parts_byte & 3;
    const bool gap_part = parts_byte & 4;
    static const std::size_t steps[] = {1, 3, 4, 7, 64, 255, 4096, 0x40000};
    const std::size_t step = steps[(parts_byte >> 3) & 7];
    // A log copy of the raw input, split every `limit` bytes or not at all.
    const bool logged = parts_byte & 64;
    const long limit = parts_byte & 128 ? -1 : long(seek_byte) * 4 + 1;

    dir.clear();
    if (has_common) dir.write(folder_of + "common.zpo", in.next());
    if (has_stem_zpo) dir.write(stem + ".zpo", in.next());
    dir.write(main, in.next());
    for (unsigned k = 1; k <= parts; ++k) dir.write(part_name(main, k), in.next());
    if (gap_part) dir.write(part_name(main, parts + 2), "never read");
    if (has_pxp) dir.write(stem + ".pxp", in.next());
    if (has_override) dir.write(stem + ".override.pxp", in.next());

    // The stream as the files define it: each prefix once and never the main
    // file again, then the main file and its parts up to the first missing one.
    std::string expect;
    std::vector<std::string> joined;
    for (const std::string& p : {folder_of + "common.zpo", stem + ".zpo"})
        if (dir.find(p) && p != main && (joined.empty() || joined.back() != p)) joined.push_back(p);
    joined.push_back(main);
    for (unsigned k = 1; dir.find(part_name(main, k)); ++k) joined.push_back(part_name(main, k));
    for (const std::string& p : joined) expect += *dir.find(p);
    std::string text;
    if (given_text) text = "given";
    else if (const std::string* pxp = dir.find(stem + ".pxp")) text = *pxp;
    else if (const std::string* alt = dir.find(stem + ".override.pxp")) text = *alt;

    hook_texts.clear();
    {
        std::shared_ptr<basic_rconnection> c(
            basic_rconnection::create_impl("file:" + main, "", given_text ? "given" : ""));
        if (c->size != expect.size()) std::abort();
        // The override's own reads count in tellg as well.
        const std::string log = dir.root + "/log";
        if (logged) c->open_logfile(log, limit);
        if (drain(*c, step) != expect || (hook_texts.empty() && c->tellg() != expect.size())) std::abort();
        if (logged) {
            // The log holds every source byte once, in files of `limit` bytes but the last.
            c->close_logfile();
            std::string copy;
            std::vector<std::size_t> sizes;
            for (unsigned k = 0;; ++k) {
                const std::string p = k == 0 ? log : part_name(log, k);
                std::string bytes;
                if (!read_whole(p, bytes)) break;
                ::unlink(p.c_str());
                sizes.push_back(bytes.size());
                copy += bytes;
            }
            if (copy != expect || (limit < 0 && sizes.size() != 1)) std::abort();
            for (std::size_t k = 0; k + 1 < sizes.size(); ++k)
                if (sizes[k] != std::size_t(limit)) std::abort();
        }
        static const char header_id[] = "\xFF\xFF\xFF\xFF\x00\x00\x01\x00";
        if (!text.empty() && expect.compare(0, 8, header_id, 8) == 0 && hook_texts.empty()) std::abort();
        const std::size_t pos = seek_byte * (expect.size() + 1) / 256;
        c->seekg(pos);
        if (c->tellg() != pos || drain(*c, step) != expect.substr(pos)) std::abort();
        // A seek from the middle of the stream, where files are still open.
        const std::size_t back = (seek_byte * 7 % 256) * (expect.size() + 1) / 256;
        c->seekg(back);
        const std::size_t k = c->readsome(read_buffer(), step);
        if (expect.compare(back, k, read_buffer(), k) != 0 || (k == 0 && back < expect.size())) std::abort();
        c->seekg(pos);
        if (drain(*c, step) != expect.substr(pos)) std::abort();
        for (const std::string& t : hook_texts)
            if (t != text) std::abort();
    }
    if (!fuzzcheck::back_to(before)) std::abort();
    return 0;
}
