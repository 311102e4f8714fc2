// The built program, run the way a user runs it, in a fresh temporary
// directory per case: exit status, standard output and error, and the files
// that exist afterwards, byte for byte.
#include "bytes.h"
#include "model.h"
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <linux/fs.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct cli_case {
    const char *fault;                                      // what a failing case would mean
    std::vector<std::pair<std::string, std::string>> files; // made before the run
    std::vector<std::string> args;
    int status;
    std::string err;
    // Afterwards: each name holds these bytes, or does not exist (nullopt).
    std::vector<std::pair<std::string, std::optional<std::string>>> after;
    std::function<void(const fs::path &)> setup = nullptr; // anything `files` cannot make
    run_options opts = {};
    std::vector<std::string> links = {};   // names that must still be symbolic links afterwards
    std::vector<std::string> renamed = {}; // names that must be new files afterwards, not rewritten
    std::function<void(const fs::path &)> teardown = nullptr; // undoes what remove_all cannot
};

const std::string big_in = repeat(line_in, 60000); // crosses many buffer refills
const std::string long_token = std::string(300000, 'x');
const std::string long_name = std::string(250, 'n');         // fits; with ".eqn-file" it does not
const std::string name_255 = std::string(246, 'n');          // with ".eqn-file", NAME_MAX bytes
const std::string deep_dir = repeat("directory-level-", 12); // path > 128 bytes

// The bundled example, then 800 KB of equations: names and numbers of many
// lengths, runs of spaces, a tab, a fourth level and stray closers.
std::string equations() {
    std::string s = slurp(ZELMOR_EXAMPLE);
    for (size_t i = 0; i < 5000; ++i) {
        std::string k = std::to_string(i * 7919 % 100003), pad(i % 5, ' ');
        s += "(system s" + k + "\n  (q_in (k" + pad + "* dT" + k + ") (-2375." + k + " + q0))\n";
        s += "  (q_out (" + std::string(i % 70, 'h') + " *\tA" + pad + ") (T_s - (T_inf))))\n";
    }
    return s;
}
const std::string equations_in = equations();

// The equation file as a symbolic link into store/, to a file holding "old"
// or to nothing.
void link_to_store(const fs::path &d) {
    fs::create_directory(d / "store");
    spit(d / "store/target", "old");
    fs::create_symlink("store/target", d / "data.eqn-file");
}
void link_to_nothing(const fs::path &d) {
    fs::create_directory(d / "store");
    fs::create_symlink("store/new", d / "data.eqn-file");
}
void hard_link_output(const fs::path &d) {
    spit(d / "data.eqn-file", repeat("old ", 1000)); // longer than the conversion
    fs::create_hard_link(d / "data.eqn-file", d / "twin");
}
// "l<i>", built up by appending: concatenation trips a false -Wrestrict.
std::string link_name(int i) {
    std::string name = "l";
    name += std::to_string(i);
    return name;
}
// The equation file as the first of `n` links, l1 to l<n-1> and then
// store/target, which holds "old".
void link_chain(const fs::path &d, int n) {
    fs::create_directory(d / "store");
    spit(d / "store/target", "old");
    for (int i = 0; i < n; ++i)
        fs::create_symlink(i + 1 < n ? link_name(i + 1) : "store/target",
                           d / (i == 0 ? "data.eqn-file" : link_name(i)));
}
// Thirty links, each "../<long name>/l<i>", whose texts joined pass PATH_MAX.
void long_link_chain(const fs::path &d) {
    const fs::path long_dir(std::string(140, 'd'));
    fs::create_directories(d / long_dir);
    fs::create_directory(d / "store");
    fs::create_symlink(long_dir / "l1", d / "data.eqn-file");
    for (int i = 1; i < 30; ++i)
        fs::create_symlink(".." / long_dir / link_name(i + 1), d / long_dir / link_name(i));
    fs::create_symlink("../store/target", d / long_dir / "l30");
}
// The equation file as a link to a file in a directory whose own path
// leaves no room for the new file's name within PATH_MAX.
void link_into_deep_dir(const fs::path &d) {
    needs_native();
    const size_t want = PATH_MAX - 20;
    fs::path deep = d;
    while (deep.string().size() + 250 < want) deep /= std::string(200, 'p');
    deep /= std::string(want - deep.string().size() - 1, 'q');
    fs::create_directories(deep);
    spit(deep / "t", "old");
    fs::create_symlink(deep / "t", d / "data.eqn-file");
    fs::create_symlink(deep, d / "deep");
}

// A file's mode, owner, group, flags and extended attributes, as text.
std::string metadata(const fs::path &p) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return "missing";
    std::ostringstream out;
    out << "mode " << std::oct << st.st_mode << std::dec << ", owner " << st.st_uid << ':'
        << st.st_gid;
    int fd = open(p.c_str(), O_RDONLY), flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0)
        out << ", flags " << std::hex << (flags & FS_FL_USER_MODIFIABLE) << std::dec;
    if (fd >= 0) close(fd);
    std::string names(65536, '\0');
    names.resize(static_cast<size_t>(
        std::max<ssize_t>(0, listxattr(p.c_str(), names.data(), names.size()))));
    std::vector<std::string> sorted;
    for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1)
        sorted.push_back(names.c_str() + at);
    std::sort(sorted.begin(), sorted.end());
    for (const std::string &name : sorted) {
        std::string value(65536, '\0');
        ssize_t n = getxattr(p.c_str(), name.c_str(), value.data(), value.size());
        out << ", " << name << '='
            << excerpt(value.substr(0, static_cast<size_t>(std::max<ssize_t>(0, n))), 0);
    }
    return out.str();
}

// A POSIX ACL as its extended attribute holds it: a version, then entries
// of a tag, permission bits and an ID, all little-endian.
enum acl_tag : uint16_t {
    acl_user_obj = 1,
    acl_user = 2,
    acl_group_obj = 4,
    acl_mask = 0x10,
    acl_other = 0x20
};
struct acl_entry {
    uint16_t tag, perm;
    uint32_t id;
};
std::string posix_acl(std::initializer_list<acl_entry> entries) {
    std::string s;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> 8 * i & 0xff);
    };
    put(2, 4);
    for (acl_entry e : entries) put(e.tag, 2), put(e.perm, 2), put(e.id, 4);
    return s;
}

const cli_case cli_cases[] = {
    {"conversion wrong",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"data.tmp", line_in}, {"data.eqn-file", line_out}}},
    {"empty input gives no file", {{"e.tmp", ""}}, {"e.tmp"}, 0, "", {{"e.eqn-file", ""}}},
    {"old output not replaced",
     {{"data.tmp", line_in}, {"data.eqn-file", repeat("old", 100)}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}}},
    {"further arguments used",
     {{"data.tmp", line_in}, {"b.tmp", line_in}},
     {"data.tmp", "b.tmp", "-v"},
     0,
     "",
     {{"data.eqn-file", line_out}, {"b.eqn-file", std::nullopt}}},
    {"dash read as an option",
     {{"-x.tmp", line_in}},
     {"-x.tmp"},
     0,
     "",
     {{"-x.eqn-file", line_out}}},
    {"directory part of the name ignored",
     {{"d.tmpdir/b.tmp", line_in}},
     {"d.tmpdir/b.tmp"},
     0,
     "",
     {{"d.eqn-file", line_out}, {"d.tmpdir/b.eqn-file", std::nullopt}}},
    {"buffer refills lose bytes",
     {{"big.tmp", big_in}},
     {"big.tmp"},
     0,
     "",
     {{"big.eqn-file", repeat(line_out, 60000)}}},
    {"token across refills split",
     {{"t.tmp", "(((" + long_token + " y)))"}},
     {"t.tmp"},
     0,
     "",
     {{"t.eqn-file", "(((\"" + long_token + "\" \"y\")))"}}},
    {"example or equations mangled",
     {{"eq.tmp", equations_in}},
     {"eq.tmp"},
     0,
     "",
     {{"eq.eqn-file", model(equations_in)}}},
    {"long path cut short",
     {{deep_dir + "/" + deep_dir + "/p.tmp", line_in}},
     {deep_dir + "/" + deep_dir + "/p.tmp"},
     0,
     "",
     {{deep_dir + "/" + deep_dir + "/p.eqn-file", line_out}}},
    {"missing argument not reported", {}, {}, 2, usage, {}},
    {"missing input not reported", {}, {"nope.tmp"}, 1, failure, {{"nope.eqn-file", std::nullopt}}},
    {"directory read as input",
     {{"dir.tmp/f", "x"}},
     {"dir.tmp"},
     1,
     failure,
     {{"dir.eqn-file", std::nullopt}}},
    {"directory input destroys old output",
     {{"dir.tmp/f", "x"}, {"dir.eqn-file", "old"}},
     {"dir.tmp"},
     1,
     failure,
     {{"dir.eqn-file", "old"}}},
    {"input without .tmp emptied",
     {{"notes.txt", line_in}},
     {"notes.txt"},
     1,
     failure,
     {{"notes.txt", line_in}}},
    {"message written into the input",
     {{"notes.txt", line_in}},
     {"notes.txt"},
     1,
     "",
     {{"notes.txt", line_in}},
     nullptr,
     {.close_stdin_stderr = true}},
    {"hard link to input emptied",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}, {"data.eqn-file", line_in}},
     [](const fs::path &d) { fs::create_hard_link(d / "data.tmp", d / "data.eqn-file"); }},
    {"symbolic link to input emptied",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}, {"data.eqn-file", line_in}},
     [](const fs::path &d) { fs::create_symlink("data.tmp", d / "data.eqn-file"); }},
    {"output name too long not reported",
     {{long_name + ".tmp", line_in}},
     {long_name + ".tmp"},
     1,
     failure,
     {{long_name + ".tmp", line_in}}},
    {"unopenable output not reported",
     {{"data.tmp", line_in}, {"data.eqn-file/keep", "k"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}, {"data.eqn-file/keep", "k"}}},
    {"full disk reported as success",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}},
     [](const fs::path &d) {
         // As root, a device of the test's own, which a faulty build that
         // replaced what it should write in place cannot take from the system.
         bool own =
             geteuid() == 0 && mknod((d / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
         fs::create_symlink(own ? "full" : "/dev/full", d / "data.eqn-file");
     }},
    {"small stack overflowed",
     {{"data.tmp", big_in}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", repeat(line_out, 60000)}},
     nullptr,
     {.stack_size = 256 * 1024}},
    {"partial output left behind",
     {{"big.tmp", big_in}},
     {"big.tmp"},
     1,
     failure,
     {{"big.tmp", big_in}, {"big.eqn-file", std::nullopt}},
     nullptr,
     {.max_file_size = 300000}},
    {"failed run destroys old output",
     {{"big.tmp", big_in}, {"big.eqn-file", "old"}},
     {"big.tmp"},
     1,
     failure,
     {{"big.tmp", big_in}, {"big.eqn-file", "old"}},
     nullptr,
     {.max_file_size = 300000}},
    {"link replaced by a file",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"store/target", line_out}},
     link_to_store,
     {},
     {"data.eqn-file"}},
    {"failed run through a link writes its target",
     {{"data.tmp", big_in}},
     {"data.tmp"},
     1,
     failure,
     {{"store/target", "old"}},
     link_to_store,
     {.max_file_size = 300000},
     {"data.eqn-file"}},
    {"dangling link replaced by a file",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"store/new", line_out}},
     link_to_nothing,
     {},
     {"data.eqn-file"}},
    {"hard link split from its twin",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}, {"twin", line_out}},
     hard_link_output},
    {"failed run in place leaves part of a conversion",
     {{"data.tmp", big_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", ""}, {"twin", ""}},
     hard_link_output,
     {.max_file_size = 300000}},
    {"link chain past 40 replaced",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"store/target", "old"}},
     [](const fs::path &d) { link_chain(d, 41); },
     {},
     {"data.eqn-file", "l39", "l40"}},
    {"link through a file replaced the file",
     {{"data.tmp", line_in}, {"notes", "notes"}},
     {"data.tmp"},
     1,
     failure,
     {{"notes", "notes"}},
     [](const fs::path &d) { fs::create_symlink("notes/x", d / "data.eqn-file"); },
     {},
     {"data.eqn-file"}},
    {"link chain of 40 refused",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"store/target", line_out}},
     [](const fs::path &d) { link_chain(d, 40); }},
    {"link to itself replaced",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {},
     [](const fs::path &d) { fs::create_symlink("data.eqn-file", d / "data.eqn-file"); },
     {},
     {"data.eqn-file"}},
    {"joined link texts too long",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"store/target", line_out}},
     long_link_chain},
    {"no room for the new file's name",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"deep/t", line_out}},
     link_into_deep_dir,
     {},
     {},
     {"deep/t"}},
    {"link under a directory part followed from the working directory",
     {{"sub/d.tmp", line_in}, {"sub/store/t", "old"}},
     {"sub/d.tmp"},
     0,
     "",
     {{"sub/store/t", line_out}},
     [](const fs::path &d) { fs::create_symlink("store/t", d / "sub/d.eqn-file"); },
     {},
     {"sub/d.eqn-file"}},
    {"magic link's text used as a name",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"gone.txt (deleted)", std::nullopt}},
     [](const fs::path &d) {
         needs_native();
         fs::create_symlink("/proc/self/fd/3", d / "data.eqn-file");
     },
     {.wrapper = {"sh", "-c", "exec 3>gone.txt && rm gone.txt && exec \"$@\"", "sh"}}},
    {"directory input, in place, destroys old output",
     {{"dir.tmp/f", "x"}},
     {"dir.tmp"},
     1,
     failure,
     {{"dir.eqn-file", repeat("old ", 1000)}, {"twin", repeat("old ", 1000)}},
     [](const fs::path &d) {
         hard_link_output(d);
         fs::rename(d / "data.eqn-file", d / "dir.eqn-file");
     }},
    {"out of descriptors destroys old output",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &) { needs_native(); },
     {.max_files = 5}},
    {"link under /proc to the input emptied it",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}},
     [](const fs::path &d) {
         needs_native();
         fs::create_symlink("/proc/self/fd/3", d / "data.eqn-file");
     },
     {.wrapper = {"sh", "-c", "exec 3<data.tmp && exec \"$@\"", "sh"}}},
    {"reader of a FIFO that leaves early kills the run unreported",
     {{"data.tmp", big_in}},
     {"data.tmp"},
     1,
     failure,
     {},
     [](const fs::path &d) {
         if (mkfifo((d / "data.eqn-file").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
         std::string reader = "timeout 20 head -c1 '" + (d / "data.eqn-file").string() + "' &";
         if (std::system(reader.c_str()) != 0) throw std::runtime_error(reader);
     }},
    {"directory part ending in a link under /proc lost",
     {{"data.tmp", line_in}},
     {"/proc/self/cwd/data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}},
     [](const fs::path &) { needs_native(); }},
    {"equation file's name of 255 bytes refused in place",
     {{name_255 + ".tmp", line_in}, {name_255 + ".eqn-file", "old"}},
     {name_255 + ".tmp"},
     0,
     "",
     {{name_255 + ".eqn-file", line_out}, {"twin", line_out}},
     [](const fs::path &d) { fs::create_hard_link(d / (name_255 + ".eqn-file"), d / "twin"); }},
    {"FIFO read to the end taken for a file to empty",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {},
     [](const fs::path &d) {
         if (mkfifo((d / "data.eqn-file").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
         std::string reader = "cd '" + d.string() + "' && timeout 20 cat data.eqn-file > read &";
         if (std::system(reader.c_str()) != 0) throw std::runtime_error(reader);
     },
     {},
     {},
     {},
     [](const fs::path &d) { // the reader reads to the end of what the run wrote
         for (int i = 0; i < 1000 && slurp(d / "read") != line_out; ++i) usleep(5000);
         EXPECT_EQ(slurp(d / "read"), line_out);
     }},
    {"link to /dev/null taken for a file to empty",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"data.tmp", line_in}},
     [](const fs::path &d) {
         needs_native();
         fs::create_symlink("/dev/null", d / "data.eqn-file");
     },
     {},
     {"data.eqn-file"}},
};

void check(const cli_case &c) {
    SCOPED_TRACE(c.fault);
    temp_dir dir;
    for (const auto &[name, bytes] : c.files) {
        fs::create_directories((dir.path / name).parent_path());
        spit(dir.path / name, bytes);
    }
    try {
        if (c.setup) c.setup(dir.path);
    } catch (const native_only &) {
        return;
    }
    std::vector<ino_t> inodes;
    for (const std::string &name : c.renamed) inodes.push_back(inode(dir.path / name));
    run_result r = run(dir.path, c.args, c.opts);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "") << "standard output is never written";
    EXPECT_TRUE(same_bytes(c.err, r.err)) << "standard error";
    for (const auto &[name, bytes] : c.after) {
        fs::path p = dir.path / name;
        if (!bytes) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << name << " exists";
        else EXPECT_TRUE(same_bytes(*bytes, slurp(p))) << "contents of " << name;
    }
    for (const std::string &name : c.links)
        EXPECT_TRUE(fs::is_symlink(dir.path / name)) << name << " is no longer a link";
    for (size_t i = 0; i < c.renamed.size(); ++i)
        EXPECT_NE(inode(dir.path / c.renamed[i]), inodes[i]) << c.renamed[i] << " written in place";
    EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{}) << "unfinished file left";
    if (c.args.empty()) {
        EXPECT_TRUE(fs::is_empty(dir.path)) << "no argument, yet files changed";
    }
    if (c.teardown) c.teardown(dir.path);
}

TEST(Cli, Table) {
    for (const cli_case &c : cli_cases) check(c);
}

// For cases that need root: `pub`, a sticky directory anyone may write,
// with data.tmp in it, owned by `owner`, and an empty directory `private`.
void sticky_dir(const fs::path &d, uid_t owner) {
    fs::create_directory(d / "private");
    fs::create_directory(d / "pub");
    spit(d / "pub/data.tmp", line_in);
    fs::permissions(d / "pub", fs::perms::all | fs::perms::sticky_bit);
    if (chown((d / "pub").c_str(), owner, owner) != 0) throw std::runtime_error("chown");
}
// `name`, made by `make`, then given to uid 65534.
void planted(const fs::path &name, const std::function<void()> &make) {
    make();
    if (lchown(name.c_str(), 65534, 65534) != 0) throw std::runtime_error("lchown");
}
// Lets uid 65534 run a copy of the program in `d` and make files there.
void open_to_nobody(const fs::path &d) {
    fs::copy_file(program_path(), d / "zelmor");
    fs::permissions(d, fs::perms::all);
    for (const char *name : {"data.tmp", "data.eqn-file"})
        if (fs::exists(d / name) && chown((d / name).c_str(), 65534, 65534) != 0)
            throw std::runtime_error("chown");
}
// The equation file, set-group-ID, owned by uid 65534 in a group it is not
// in, which only root could give the bit back to.
void outside_its_group(const fs::path &d) {
    open_to_nobody(d);
    if (chown((d / "data.eqn-file").c_str(), 65534, 4242) != 0 ||
        chmod((d / "data.eqn-file").c_str(), 02664) != 0)
        throw std::runtime_error("chown");
}
// A wrapper that runs the program as root in a new user namespace, with
// the maps `uid_map` and `gid_map` (lines of an ID inside, one outside and
// a count) written from here, as only root here may write maps of more
// than one line; status 125 if it cannot.
std::vector<std::string> in_user_namespace(const std::string &uid_map, const std::string &gid_map) {
    std::string script =
        R"(t=$(mktemp -d) && mkfifo "$t/ready" "$t/go" && exec 3<>"$t/ready" || exit 125
(unshare -U sh -c 'echo $$ > "$0/ready"; read r < "$0/go"; [ "$r" = go ] && exec "$@"; exit 125' \
    "$t" "$@" 3<&- || { s=$?; echo no > "$t/ready"; exit $s; }) &
read p <&3
r=no
[ "$p" = no ] || { printf ')" +
        uid_map + "' > /proc/$p/uid_map && printf '" + gid_map +
        R"(' > /proc/$p/gid_map && r=go; echo $r > "$t/go"; }
wait $!; s=$?; rm -r "$t"; [ $r = go ] || exit 125; exit $s)";
    return {"sh", "-c", script, "sh"};
}
// The equation file, set-user-ID, owned by `owner`, in group 0, with a hard
// link, so that it is written in place; for a run in a user namespace.
void set_uid_of(const fs::path &d, uid_t owner) {
    if (std::system("unshare -U true") != 0) throw native_only{}; // no user namespaces here
    fs::create_hard_link(d / "data.eqn-file", d / "twin");
    if (chown((d / "data.eqn-file").c_str(), owner, 0) != 0 ||
        chmod((d / "data.eqn-file").c_str(), 04664) != 0)
        throw std::runtime_error("chown");
}
// A map of 131 lines, 4 KiB and more as the kernel shows it, whose last
// line maps ID 130 to 5130.
const std::string long_map = [] {
    std::string s = "0 0 1\n";
    for (int i = 1; i <= 130; ++i) s += std::to_string(i) + " " + std::to_string(5000 + i) + " 1\n";
    return s;
}();

const cli_case root_cases[] = {
    {"set-group-ID file of a group unmapped in a user namespace emptied",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) {
         // Owned by uid 65534, who is root in the namespace; group 0 is not
         // mapped there, so the capabilities do not reach the file.
         open_to_nobody(d);
         if (chown((d / "data.eqn-file").c_str(), 65534, 0) != 0 ||
             chmod((d / "data.eqn-file").c_str(), 02775) != 0)
             throw std::runtime_error("chown");
         if (std::system("setpriv --reuid 65534 --regid 65534 --clear-groups unshare -r true") != 0)
             throw native_only{}; // no user namespaces here
     },
     {.program = "./zelmor",
      .wrapper = {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "unshare",
                  "-r", "--"}}},
    {"set-user-ID file refused to root in a namespace whose later line maps its owner",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}, {"twin", line_out}},
     [](const fs::path &d) { set_uid_of(d, 4242); },
     {.wrapper = in_user_namespace("0 0 1\n1 4242 3\n", "0 0 1\n")}},
    {"set-user-ID file refused to root in a namespace whose map's line past 4 KiB maps its owner",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}, {"twin", line_out}},
     [](const fs::path &d) { set_uid_of(d, 5130); },
     {.wrapper = in_user_namespace(long_map, "0 0 1\n")}},
    {"set-group-ID file outside its group emptied by root without the capability to keep it",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}, {"twin", "old"}},
     [](const fs::path &d) {
         fs::create_hard_link(d / "data.eqn-file", d / "twin"); // written in place
         if (chown((d / "data.eqn-file").c_str(), 65534, 4242) != 0 ||
             chmod((d / "data.eqn-file").c_str(), 02664) != 0)
             throw std::runtime_error("chown");
     },
     {.wrapper = {"setpriv", "--bounding-set", "-fsetid", "--"}}},
    {"set-group-ID file outside its group refused to root that can keep its bit",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}, {"twin", line_out}},
     [](const fs::path &d) {
         fs::create_hard_link(d / "data.eqn-file", d / "twin"); // written in place
         if (chown((d / "data.eqn-file").c_str(), 65534, 4242) != 0 ||
             chmod((d / "data.eqn-file").c_str(), 02664) != 0)
             throw std::runtime_error("chown");
     }},
    {"link planted in a sticky directory followed",
     {},
     {"pub/data.tmp"},
     1,
     failure,
     {{"private/target", std::nullopt}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         planted(d / "pub/data.eqn-file",
                 [&] { fs::create_symlink("../private/target", d / "pub/data.eqn-file"); });
     },
     {},
     {"pub/data.eqn-file"}},
    {"file planted in a sticky directory written",
     {},
     {"pub/data.tmp"},
     1,
     failure,
     {{"pub/data.eqn-file", ""}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         planted(d / "pub/data.eqn-file", [&] { spit(d / "pub/data.eqn-file", ""); });
     }},
    {"FIFO planted in a sticky directory written",
     {},
     {"pub/data.tmp"},
     1,
     failure,
     {},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         fs::path fifo = d / "pub/data.eqn-file";
         planted(fifo, [&] { mkfifo(fifo.c_str(), 0666); });
         std::string reader = "timeout 10 cat '" + fifo.string() + "' >/dev/null 2>&1 &";
         if (std::system(reader.c_str()) != 0) throw std::runtime_error(reader);
     }},
    {"hard-linked file planted in a sticky directory written",
     {},
     {"pub/data.tmp"},
     1,
     failure,
     {{"pub/data.eqn-file", "theirs"}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         planted(d / "pub/data.eqn-file", [&] { spit(d / "pub/data.eqn-file", "theirs"); });
         fs::create_hard_link(d / "pub/data.eqn-file", d / "pub/twin");
     }},
    {"link of another user refused where the sticky bit is not set",
     {},
     {"pub/data.tmp"},
     0,
     "",
     {{"private/target", line_out}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         fs::permissions(d / "pub", fs::perms::all);
         planted(d / "pub/data.eqn-file",
                 [&] { fs::create_symlink("../private/target", d / "pub/data.eqn-file"); });
     }},
    {"directory that may be searched but not read refused",
     {{"xo/data.tmp", line_in}},
     {"xo/data.tmp"},
     0,
     "",
     {{"xo/data.eqn-file", line_out}},
     [](const fs::path &d) {
         open_to_nobody(d);
         for (const char *name : {"xo", "xo/data.tmp"})
             if (chown((d / name).c_str(), 65534, 65534) != 0) throw std::runtime_error("chown");
         fs::permissions(d / "xo", fs::perms::owner_write | fs::perms::owner_exec |
                                       fs::perms::group_write | fs::perms::group_exec |
                                       fs::perms::others_write | fs::perms::others_exec);
     },
     {.user = 65534, .program = "./zelmor"}},
    {"own equation file in a sticky directory refused",
     {},
     {"pub/data.tmp"},
     0,
     "",
     {{"pub/data.eqn-file", line_out}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         spit(d / "pub/data.eqn-file", "old");
     },
     {},
     {},
     {"pub/data.eqn-file"}},
    {"directory owner's link in a sticky directory refused",
     {},
     {"pub/data.tmp"},
     0,
     "",
     {{"private/target", line_out}},
     [](const fs::path &d) {
         sticky_dir(d, 65534);
         planted(d / "pub/data.eqn-file",
                 [&] { fs::create_symlink("../private/target", d / "pub/data.eqn-file"); });
     }},
    {"append-only directory keeps the new file",
     {{"ad/data.tmp", line_in}, {"ad/data.eqn-file", "old"}},
     {"ad/data.tmp"},
     0,
     "",
     {{"ad/data.eqn-file", line_out}},
     [](const fs::path &d) { chattr("+a", d / "ad"); },
     {},
     {},
     {},
     [](const fs::path &d) { chattr("-a", d / "ad"); }},
    {"immutable equation file replaced",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) { chattr("+i", d / "data.eqn-file"); },
     {},
     {},
     {},
     [](const fs::path &d) { chattr("-i", d / "data.eqn-file"); }},
    {"append-only equation file replaced",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) { chattr("+a", d / "data.eqn-file"); },
     {},
     {},
     {},
     [](const fs::path &d) { chattr("-a", d / "data.eqn-file"); }},
    {"append-only directory refuses a new equation file",
     {{"ad/data.tmp", line_in}},
     {"ad/data.tmp"},
     0,
     "",
     {{"ad/data.eqn-file", line_out}},
     [](const fs::path &d) { chattr("+a", d / "ad"); },
     {},
     {},
     {},
     [](const fs::path &d) { chattr("-a", d / "ad"); }},
    {"directory that refuses new files fails a writable equation file",
     {{"ro/data.tmp", line_in}, {"ro/data.eqn-file", "old"}},
     {"ro/data.tmp"},
     0,
     "",
     {{"ro/data.eqn-file", line_out}},
     [](const fs::path &d) {
         open_to_nobody(d);
         if (chown((d / "ro/data.eqn-file").c_str(), 65534, 65534) != 0)
             throw std::runtime_error("chown");
         fs::permissions(d / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
     },
     {.user = 65534, .program = "./zelmor"}},
    {"link planted as the input in a sticky directory followed",
     {{"private/secret.tmp", line_in}},
     {"pub/data.tmp"},
     1,
     failure,
     {{"pub/data.eqn-file", std::nullopt}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         fs::remove(d / "pub/data.tmp");
         planted(d / "pub/data.tmp",
                 [&] { fs::create_symlink("../private/secret.tmp", d / "pub/data.tmp"); });
     }},
    {"hard link to a private file planted in a sticky directory written",
     {{"private/secret", "secret"}},
     {"pub/data.tmp"},
     1,
     failure,
     {{"private/secret", "secret"}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         fs::create_hard_link(d / "private/secret", d / "pub/data.eqn-file");
     }},
    {"set-user-ID file of another user emptied in place",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) {
         open_to_nobody(d);
         if (chown((d / "data.eqn-file").c_str(), 0, 0) != 0) throw std::runtime_error("chown");
         fs::permissions(d / "data.eqn-file", fs::perms::set_uid | fs::perms::owner_read |
                                                  fs::perms::owner_write | fs::perms::group_read |
                                                  fs::perms::group_write | fs::perms::others_read |
                                                  fs::perms::others_write);
         fs::create_hard_link(d / "data.eqn-file", d / "twin");
     },
     {.user = 65534, .program = "./zelmor"}},
    {"set-group-ID file of another user emptied in place",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) {
         open_to_nobody(d);
         if (chown((d / "data.eqn-file").c_str(), 0, 0) != 0) throw std::runtime_error("chown");
         fs::permissions(d / "data.eqn-file", fs::perms::set_gid | fs::perms::owner_read |
                                                  fs::perms::owner_write | fs::perms::group_read |
                                                  fs::perms::group_write | fs::perms::others_read |
                                                  fs::perms::others_write);
         fs::create_hard_link(d / "data.eqn-file", d / "twin");
     },
     {.user = 65534, .program = "./zelmor"}},
    {"set-group-ID file outside its owner's groups emptied in place",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}, {"twin", "old"}},
     [](const fs::path &d) {
         outside_its_group(d);
         fs::create_hard_link(d / "data.eqn-file", d / "twin");
     },
     {.user = 65534, .program = "./zelmor"}},
    {"set-group-ID file outside its owner's groups replaced without the bit",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     outside_its_group,
     {.user = 65534, .program = "./zelmor"}},
    {"link planted in a sticky directory its group may write followed",
     {},
     {"pub/data.tmp"},
     1,
     failure,
     {{"private/target", std::nullopt}},
     [](const fs::path &d) {
         sticky_dir(d, 0);
         fs::permissions(d / "pub", fs::perms::owner_all | fs::perms::group_all |
                                        fs::perms::others_exec | fs::perms::sticky_bit);
         planted(d / "pub/data.eqn-file",
                 [&] { fs::create_symlink("../private/target", d / "pub/data.eqn-file"); });
     },
     {},
     {"pub/data.eqn-file"}},
    {"attribute of a write-only equation file dropped",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) {
         open_to_nobody(d);
         if (setxattr((d / "data.eqn-file").c_str(), "user.origin", "lab", 3, 0) != 0)
             throw std::runtime_error("setxattr");
         fs::permissions(d / "data.eqn-file", fs::perms::owner_write);
     },
     {.user = 65534, .program = "./zelmor"}},
    {"write-only equation file emptied by a failed run",
     {{"data.tmp", big_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) {
         open_to_nobody(d);
         fs::permissions(d / "data.eqn-file", fs::perms::owner_write);
     },
     {.max_file_size = 300000, .user = 65534, .program = "./zelmor"}},
    {"read-only equation file of another user written",
     {{"data.tmp", line_in}, {"data.eqn-file", "old"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.eqn-file", "old"}},
     [](const fs::path &d) {
         open_to_nobody(d);
         fs::permissions(d / "data.eqn-file",
                         fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
     },
     {.user = 65534, .program = "./zelmor"}},
};

// Cases that need root, for files of another user (65534) and for chattr.
TEST(Cli, RootTable) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, for files of uid 65534 and chattr";
    for (const cli_case &c : root_cases) check(c);
}

// An existing equation file's owner, mode bits, extended attributes, ACL,
// file capabilities and file flags carry over to the file that replaces it,
// or stay as they were when it is written in place; the new file gains none
// of its own, such as an ACL from the directory's default ACL.
TEST(Cli, MetadataCarriedOver) {
    struct meta_case {
        const char *fault;
        std::function<void(const fs::path &dir, const fs::path &eqn)> setup;
        uid_t user = 0;        // runs as this user, who owns the files, when nonzero
        bool twin = false;     // the equation file has a hard link
        bool in_place = false; // and so, or for another reason, is written in place
        // Run by root, the row runs again as uid 65534, who owns the files
        // but for what the setup gives others: kept as root keeps it, kept
        // writing in place, refused before anything changes, or not run.
        enum { kept, kept_in_place, refused, root_only } as_nobody = kept;
    };
    const std::string nobody_may_read = posix_acl({{acl_user_obj, 6, 0},
                                                   {acl_user, 4, 65534},
                                                   {acl_group_obj, 0, 0},
                                                   {acl_mask, 4, 0},
                                                   {acl_other, 0, 0}});
    const std::string nobody_may_write = posix_acl({{acl_user_obj, 7, 0},
                                                    {acl_user, 7, 65534},
                                                    {acl_group_obj, 5, 0},
                                                    {acl_mask, 7, 0},
                                                    {acl_other, 5, 0}});
    const std::string write_only_acl = posix_acl({{acl_user_obj, 2, 0},
                                                  {acl_user, 2, 1000},
                                                  {acl_group_obj, 0, 0},
                                                  {acl_mask, 2, 0},
                                                  {acl_other, 0, 0}});
    // Version 2 of a file capability: CAP_NET_BIND_SERVICE permitted.
    const std::string bind_service("\x01\x00\x00\x02\x00\x04\x00\x00\0\0\0\0\0\0\0\0\0\0\0\0", 20);
    auto set = [](const fs::path &p, const char *name, const std::string &value) {
        ASSERT_EQ(setxattr(p.c_str(), name, value.data(), value.size(), 0), 0) << name;
    };
    const meta_case cases[] = {
        {"set-user-ID bit lost", [](auto &, auto &eqn) { chmod(eqn.c_str(), 04755); }},
        {"set-group-ID bit lost", [](auto &, auto &eqn) { chmod(eqn.c_str(), 02755); }},
        {"sticky bit lost", [](auto &, auto &eqn) { chmod(eqn.c_str(), 01644); }},
        {"extended attribute, or one with an empty value, lost",
         [&](auto &, auto &eqn) {
             set(eqn, "user.origin", "lab");
             set(eqn, "user.b", "second");
             set(eqn, "user.empty", ""); // a value of no bytes is a value
         }},
        {"owner lost", [](auto &, auto &eqn) { ASSERT_EQ(chown(eqn.c_str(), 65534, 0), 0); }, 0,
         false, false, meta_case::kept_in_place},
        {"group lost", [](auto &, auto &eqn) { ASSERT_EQ(chown(eqn.c_str(), 0, 65534), 0); }, 0,
         false, false, meta_case::refused},
        {"narrowing ACL lost",
         [&](auto &, auto &eqn) { set(eqn, "system.posix_acl_access", nobody_may_read); }},
        {"file flag lost", [](auto &, auto &eqn) { chattr("+d", eqn); }},
        {"directory's default ACL gained",
         [&](auto &d, auto &) { set(d, "system.posix_acl_default", nobody_may_write); }},
        {"directory's default ACL gained beside an attribute",
         [&](auto &d, auto &eqn) {
             set(d, "system.posix_acl_default", nobody_may_write);
             set(eqn, "user.origin", "lab");
         }},
        {"file capability lost at the first write",
         [&](auto &, auto &eqn) { set(eqn, "security.capability", bind_service); }, 0, false, false,
         meta_case::root_only}, // written in place, which clears it
        {"directory's inheritable flags gained", [](auto &d, auto &) { chattr("+S", d); }},
        {"directory's set-group-ID bit gave its group",
         [](auto &d, auto &) {
             ASSERT_EQ(chown(d.c_str(), 65534, 4242), 0);
             ASSERT_EQ(chmod(d.c_str(), 02777), 0);
         }},
        {"owner given back after the mode",
         [](auto &, auto &eqn) {
             ASSERT_EQ(chown(eqn.c_str(), 65534, 65534), 0);
             chmod(eqn.c_str(), 04755);
         }},
        {"write-only file written in place",
         [&](auto &, auto &eqn) {
             // What the system shows without reading it: an ACL and a flag.
             set(eqn, "system.posix_acl_access", write_only_acl);
             chattr("+d", eqn);
             chmod(eqn.c_str(), 0200);
         },
         65534},
        {"set-user-ID bit lost in place", [](auto &, auto &eqn) { chmod(eqn.c_str(), 04755); },
         65534, true},
        {"set-group-ID bit lost in place", [](auto &, auto &eqn) { chmod(eqn.c_str(), 02755); }, 0,
         true},
        {"sticky bit lost in place", [](auto &, auto &eqn) { chmod(eqn.c_str(), 01644); }, 0, true},
        {"writable file of another user replaced without its owner",
         [](auto &, auto &eqn) {
             ASSERT_EQ(chown(eqn.c_str(), 0, 0), 0);
             chmod(eqn.c_str(), 0666);
         },
         65534, false, true},
    };
    if (geteuid() != 0) GTEST_SKIP() << "needs root, for uid 65534, capabilities and chattr";
    for (const meta_case &c : cases)
        for (uid_t user : {c.user, uid_t{65534}}) {
            bool again = user != c.user;
            if (again && (c.user != 0 || c.as_nobody == meta_case::root_only)) continue;
            SCOPED_TRACE(std::string(c.fault) + (again ? ", as uid 65534" : ""));
            temp_dir dir;
            fs::path eqn = dir.path / "data.eqn-file";
            spit(dir.path / "data.tmp", line_in);
            spit(eqn, "old");
            run_options opts;
            if (user != 0) open_to_nobody(dir.path), opts.user = user, opts.program = "./zelmor";
            if (c.twin) fs::create_hard_link(eqn, dir.path / "twin");
            c.setup(dir.path, eqn);
            std::string before = metadata(eqn);
            ino_t old_inode = inode(eqn);
            bool refused = again && c.as_nobody == meta_case::refused;
            ASSERT_EQ(run(dir.path, {"data.tmp"}, opts).status, refused ? 1 : 0);
            EXPECT_EQ(slurp(eqn), refused ? "old" : line_out);
            EXPECT_EQ(metadata(eqn), before);
            EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{})
                << "unfinished file left";
            if (c.twin || c.in_place || refused ||
                (again && c.as_nobody == meta_case::kept_in_place))
                EXPECT_EQ(inode(eqn), old_inode) << "not written in place";
            else
                EXPECT_NE(inode(eqn), old_inode)
                    << "written in place, though the new file could match";
        }
}

// New equation files get mode 0666 less the umask.
TEST(Cli, NewOutputModeFollowsUmask) {
    temp_dir dir;
    spit(dir.path / "a.tmp", line_in);
    ASSERT_EQ(run(dir.path, {"a.tmp"}, {.umask = 027}).status, 0);
    EXPECT_EQ(fs::status(dir.path / "a.eqn-file").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// An existing equation file is replaced whole: it keeps its mode and, where
// the program may set them, its owner and group, and a reader who opened
// the previous file goes on reading all of it.
TEST(Cli, ExistingOutputReplacedWhole) {
    temp_dir dir;
    const std::string old = repeat("stale ", 1000);
    spit(dir.path / "a.tmp", line_in);
    spit(dir.path / "a.eqn-file", old);
    fs::path eqn = dir.path / "a.eqn-file";
    fs::permissions(eqn, fs::perms::owner_read | fs::perms::owner_write);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(eqn.c_str(), 65534, 65534), 0);
    }
    struct stat before, after;
    ASSERT_EQ(stat(eqn.c_str(), &before), 0);
    int reader = open(eqn.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(run(dir.path, {"a.tmp"}).status, 0);
    ASSERT_EQ(stat(eqn.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(slurp(eqn), line_out);
    std::string seen(old.size() + 1, '\0');
    EXPECT_EQ(pread(reader, seen.data(), seen.size(), 0), static_cast<ssize_t>(old.size()));
    EXPECT_EQ(seen.substr(0, old.size()), old) << "the previous file changed under its reader";
    close(reader);
}

// The program started on the FIFO `fifo` (relative to `dir`) and fed
// `input`, the end of which it still waits for.
struct fifo_run {
    pid_t pid;
    int writer;
};
fifo_run start_on_fifo(const fs::path &dir, const std::string &fifo, const std::string &input,
                       const run_options &opts, const fs::path &capture) {
    if (mkfifo((dir / fifo).c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    pid_t pid = start(dir, {fifo}, opts, capture);
    int writer = open((dir / fifo).c_str(), O_WRONLY); // waits for the program
    for (size_t at = 0; writer >= 0 && at < input.size();) {
        ssize_t w = write(writer, input.data() + at, input.size() - at);
        if (w <= 0) break;
        at += static_cast<size_t>(w);
    }
    return {pid, writer};
}

bool wait_for(const std::function<bool()> &done) {
    for (int i = 0; i < 1000; ++i, usleep(10000))
        if (done()) return true;
    return false;
}

// A signal that ends the program mid-run takes back what it wrote, and the
// program ends by that signal: a new file is removed, the previous equation
// file there throughout; an equation file written in place (it has a hard
// link) is emptied, never left with part of a conversion.  A signal the
// caller ignores (nohup) stays ignored.
TEST(Cli, SignalMidRunTakesBack) {
    struct signal_case {
        int sig;
        bool ignored, in_place, blocked = false; // ignored or blocked from the start
        bool append_only = false;                // a new equation file, made in place
    };
    std::vector<signal_case> cases = {{SIGHUP, true, false}, {SIGTERM, true, true, true}};
    if (geteuid() == 0) cases.push_back({SIGTERM, false, true, false, true});
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTRAP, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU,
                    SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS, SIGSTKFLT, SIGRTMIN,
                    emulator().empty() ? SIGRTMAX : SIGRTMIN + 1}) // qemu keeps SIGRTMAX
        cases.push_back({sig, false, false}), cases.push_back({sig, false, true});
    const std::string input = repeat(line_in, 20000), old = repeat("old ", 1000);
    for (signal_case c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) +
                     (c.blocked   ? ", blocked"
                      : c.ignored ? ", ignored"
                                  : "") +
                     (c.in_place ? ", in place" : "") +
                     (c.append_only ? ", append-only directory" : ""));
        temp_dir dir, capture;
        fs::path eqn = dir.path / "data.eqn-file";
        if (c.append_only) chattr("+a", dir.path);
        else spit(eqn, old);
        if (c.in_place && !c.append_only) fs::create_hard_link(eqn, dir.path / "twin");
        run_options opts{.ignored_signal = c.ignored && !c.blocked ? c.sig : 0,
                         .blocked_signal = c.blocked ? c.sig : 0};
        fifo_run f = start_on_fifo(dir.path, "data.tmp", input, opts, capture.path);
        ASSERT_GE(f.writer, 0);
        // Part of the conversion is written: at least one buffer of it.
        auto written = [&] {
            std::vector<std::string> partial = partial_files(dir.path);
            return c.in_place ? slurp(eqn) != old && !slurp(eqn).empty()
                              : partial.size() == 1 && !slurp(partial[0]).empty();
        };
        ASSERT_TRUE(wait_for(written)) << "nothing written while running";
        if (!c.in_place) {
            EXPECT_EQ(slurp(eqn), old) << "previous file gone mid-run";
        }
        kill(f.pid, c.sig);
        // Ended at once, not at the end of its input.
        auto ended = [&] {
            siginfo_t si{};
            return waitid(P_PID, static_cast<id_t>(f.pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   si.si_pid == f.pid;
        };
        if (c.ignored) usleep(100000);
        else EXPECT_TRUE(wait_for(ended)) << "still running with its input open";
        close(f.writer); // the end of the input, for a run that goes on
        run_result r = finish(f.pid, capture.path);
        EXPECT_EQ(r.status, c.ignored ? 0 : 128 + c.sig);
        EXPECT_TRUE(same_bytes(c.ignored    ? repeat(line_out, 20000)
                               : c.in_place ? ""
                                            : old,
                               slurp(eqn)));
        if (c.in_place && !c.append_only) {
            EXPECT_TRUE(fs::exists(eqn)) << "removed, not emptied";
            EXPECT_EQ(slurp(dir.path / "twin"), slurp(eqn)) << "hard link split";
        }
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{}) << "unfinished file left";
        if (c.append_only) chattr("-a", dir.path);
    }
}

// A run waiting for another's lock on an equation file written in place,
// ended by a signal: it ends at once, and the file stays as the lock's
// holder has it.
TEST(Cli, SignalWhileWaitingForTheLock) {
    if (!emulator().empty()) GTEST_SKIP() << "the emulator's calls are not the program's";
    temp_dir dir, capture;
    spit(dir.path / "data.tmp", line_in);
    hard_link_output(dir.path);
    int holder = open((dir.path / "data.eqn-file").c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    pid_t pid = start(dir.path, {"data.tmp"}, {}, capture.path);
    ASSERT_TRUE(wait_for([&] { // in flock(), with the signals caught
        long now = -1;
        std::istringstream(slurp("/proc/" + std::to_string(pid) + "/syscall")) >> now;
        return now == SYS_flock;
    }));
    kill(pid, SIGTERM);
    EXPECT_TRUE(ends_within(pid, 5000)) << "the signal waits for the lock";
    close(holder);
    EXPECT_EQ(finish(pid, capture.path).status, 128 + SIGTERM);
    EXPECT_EQ(slurp(dir.path / "data.eqn-file"), repeat("old ", 1000));
}

// The equation file's directory renamed mid-run: the new file is renamed
// over the equation file where the directory is now, and none is left.
TEST(Cli, DirectoryRenamedMidRun) {
    temp_dir dir, capture;
    fs::create_directory(dir.path / "out");
    spit(dir.path / "out/data.eqn-file", "old");
    fifo_run f = start_on_fifo(dir.path, "out/data.tmp", line_in, {}, capture.path);
    ASSERT_GE(f.writer, 0);
    ASSERT_TRUE(wait_for([&] { return !partial_files(dir.path).empty(); }));
    fs::rename(dir.path / "out", dir.path / "moved");
    close(f.writer);
    EXPECT_EQ(finish(f.pid, capture.path).status, 0);
    EXPECT_EQ(slurp(dir.path / "moved/data.eqn-file"), line_out);
    EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{}) << "unfinished file left";
}

// A signal takes back only the run's own file: one that another program
// renamed over the new file's name meanwhile stays.
TEST(Cli, TakeBackSparesAnotherFile) {
    temp_dir dir, capture;
    spit(dir.path / "data.eqn-file", "old");
    fifo_run f = start_on_fifo(dir.path, "data.tmp", line_in, {}, capture.path);
    ASSERT_GE(f.writer, 0);
    std::vector<std::string> partial;
    ASSERT_TRUE(wait_for([&] { return !(partial = partial_files(dir.path)).empty(); }));
    spit(dir.path / "other", "other");
    fs::rename(dir.path / "other", partial[0]);
    kill(f.pid, SIGTERM);
    close(f.writer);
    EXPECT_EQ(finish(f.pid, capture.path).status, 128 + SIGTERM);
    std::string name = fs::path(partial[0]).filename().string();
    EXPECT_EQ(name.size(), 32u) << name << ": not the prefix and 16 hex digits";
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 16), std::string::npos) << name;
    EXPECT_EQ(slurp(partial[0]), "other") << "another program's file taken back";
    EXPECT_EQ(slurp(dir.path / "data.eqn-file"), "old");
}

// The previous file's mode and extended attributes changed mid-run: the
// new file takes them as they are at the rename, and never widens access.
TEST(Cli, MetadataChangedMidRun) {
    temp_dir dir, capture;
    fs::path eqn = dir.path / "data.eqn-file";
    spit(eqn, "old");
    fifo_run f = start_on_fifo(dir.path, "data.tmp", line_in, {}, capture.path);
    ASSERT_GE(f.writer, 0);
    ASSERT_TRUE(wait_for([&] { return !partial_files(dir.path).empty(); }));
    fs::permissions(eqn, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(setxattr(eqn.c_str(), "user.late", "1", 1, 0), 0);
    std::string want = metadata(eqn);
    close(f.writer);
    EXPECT_EQ(finish(f.pid, capture.path).status, 0);
    EXPECT_EQ(slurp(eqn), line_out);
    EXPECT_EQ(metadata(eqn), want);
}

// Mounts a file system of `type` with `options` on `at`; false if it cannot.
bool mount_on(const fs::path &at, const std::string &type, const std::string &options) {
    fs::create_directories(at);
    std::string cmd = "mount -t " + type + " -o " + options + " none '" + at.string() + "'";
    return std::system((cmd + " 2>/dev/null").c_str()) == 0;
}
void unmount(const fs::path &at) {
    if (std::system(("umount '" + at.string() + "'").c_str()) != 0) ADD_FAILURE() << "umount";
}

// Other file systems, mounted for each case: an overlay whose lower layer
// holds a hard-linked equation file (opening it for writing copies it up
// to a new inode), one without file flags or extended attributes, a tmpfs
// too small for the conversion, and a read-only one.
TEST(Cli, OtherFileSystems) {
    struct fs_case {
        const char *fault;
        std::string type, options; // mounted on m/, with @ for the directory of m/, l/, u/, w/
        std::function<void(const fs::path &dir)> setup, after_mount;
        int status;
        std::string eqn;       // the equation file afterwards
        bool replaced = false; // by a new file, not written in place
    };
    const std::string big = repeat(line_in, 20000);
    auto files = [&](const fs::path &d) {
        spit(d / "data.tmp", big);
        spit(d / "data.eqn-file", "old");
    };
    const fs_case cases[] = {
        {"copy-up on opening taken for a replacement", "overlay",
         "lowerdir=@/l,upperdir=@/u,workdir=@/w",
         [&](const fs::path &d) {
             files(d / "l");
             fs::create_hard_link(d / "l/data.eqn-file", d / "l/twin");
         },
         nullptr, 0, repeat(line_out, 20000)},
        {"no file flags or extended attributes taken for a failure", "ramfs", "mode=0755", nullptr,
         [&](const fs::path &m) { files(m); }, 0, repeat(line_out, 20000), true},
        {"full file system destroys old output", "tmpfs", "size=512k", nullptr,
         [&](const fs::path &m) { files(m); }, 1, "old"},
        {"read-only file system destroys old output", "tmpfs", "size=4m", nullptr,
         [&](const fs::path &m) {
             files(m);
             if (std::system(("mount -o remount,ro '" + m.string() + "'").c_str()) != 0)
                 throw std::runtime_error("remount");
         },
         1, "old"},
    };
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount file systems";
    for (const fs_case &c : cases) {
        SCOPED_TRACE(c.fault);
        temp_dir dir;
        for (const char *sub : {"l", "u", "w"}) fs::create_directory(dir.path / sub);
        if (c.setup) c.setup(dir.path);
        std::string opts = c.options; // layers by absolute path, as mount wants them
        for (size_t at; (at = opts.find('@')) != std::string::npos;)
            opts.replace(at, 1, dir.path.string());
        if (!mount_on(dir.path / "m", c.type, opts)) GTEST_SKIP() << "cannot mount " << c.type;
        try {
            if (c.after_mount) c.after_mount(dir.path / "m");
            ino_t before = inode(dir.path / "m/data.eqn-file");
            run_result r = run(dir.path / "m", {"data.tmp"});
            EXPECT_EQ(r.status, c.status);
            if (c.replaced) {
                EXPECT_NE(inode(dir.path / "m/data.eqn-file"), before) << "written in place";
            }
            EXPECT_TRUE(same_bytes(c.eqn, slurp(dir.path / "m/data.eqn-file")));
            EXPECT_EQ(partial_files(dir.path / "m"), std::vector<std::string>{});
        } catch (const std::exception &e) {
            ADD_FAILURE() << e.what();
        }
        unmount(dir.path / "m");
    }
}

// A path through /proc/PID/root into another mount namespace, as an
// administrator reaches a container's files: the equation file is made in
// that namespace's directory, not in the directory of that name here.
TEST(Cli, LinkIntoAnotherMountNamespace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, for a mount namespace";
    if (!emulator().empty()) GTEST_SKIP() << "qemu's -L prefix takes absolute paths elsewhere";
    temp_dir dir, capture;
    fs::path shared = dir.path / "srv";
    fs::create_directory(shared);
    std::string script = "mount -t tmpfs none '" + shared.string() + "' && echo > '" +
                         (shared / "ready").string() + "' && exec sleep 60";
    pid_t ns = fork();
    if (ns == 0) {
        execlp("unshare", "unshare", "-m", "--propagation", "private", "sh", "-c", script.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    fs::path there = "/proc/" + std::to_string(ns) + "/root" + shared.string();
    bool ready = wait_for([&] { return fs::exists(there / "ready"); });
    if (ready) {
        spit(there / "data.tmp", line_in);
        EXPECT_EQ(run(dir.path, {(there / "data.tmp").string()}).status, 0);
        EXPECT_EQ(slurp(there / "data.eqn-file"), line_out);
        EXPECT_FALSE(fs::exists(shared / "data.eqn-file")) << "made outside the namespace";
    }
    kill(ns, SIGKILL);
    waitpid(ns, nullptr, 0);
    if (!ready) GTEST_SKIP() << "cannot make a mount namespace with unshare";
}

// Two runs whose inputs name the same equation file: whichever finishes
// last wins, whole; the file never mixes the two, whether it is replaced
// or, having a hard link, written in place.
TEST(Cli, CollidingNamesEndWithOneWholeConversion) {
    const std::string a = repeat("(((a a)))\n", 100000), b = repeat("(((b b b)))\n", 100000);
    for (bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "in place" : "replaced");
        temp_dir dir;
        fs::create_directory(dir.path / "job.tmpfiles");
        spit(dir.path / "job.tmpfiles/a.tmp", a);
        spit(dir.path / "job.tmpfiles/b.tmp", b);
        if (in_place)
            hard_link_output(dir.path),
                fs::rename(dir.path / "data.eqn-file", dir.path / "job.eqn-file");
        for (int round = 0; round < 4; ++round) {
            temp_dir capture_a, capture_b;
            pid_t pa = start(dir.path, {"job.tmpfiles/a.tmp"}, {}, capture_a.path);
            pid_t pb = start(dir.path, {"job.tmpfiles/b.tmp"}, {}, capture_b.path);
            EXPECT_EQ(finish(pa, capture_a.path).status, 0);
            EXPECT_EQ(finish(pb, capture_b.path).status, 0);
            std::string got = slurp(dir.path / "job.eqn-file");
            EXPECT_TRUE(got == repeat("(((\"a\" \"a\")))\n", 100000) ||
                        got == repeat("(((\"b\" \"b\" \"b\")))\n", 100000))
                << "round " << round << ": the equation file mixes two conversions";
            EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
        }
    }
}

// Replacing the equation file opens the previous one for no write: a
// program waiting for a finished write to it sees none.
TEST(Cli, NoWriteSeenOnPreviousFile) {
    temp_dir dir;
    spit(dir.path / "a.tmp", line_in);
    spit(dir.path / "a.eqn-file", "old");
    int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, (dir.path / "a.eqn-file").c_str(), IN_CLOSE_WRITE), 0);
    ASSERT_EQ(run(dir.path, {"a.tmp"}).status, 0);
    alignas(inotify_event) char events[4096];
    ssize_t n = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(events + at);
        EXPECT_EQ(e->mask & IN_CLOSE_WRITE, 0u) << "the previous file was opened for writing";
        at += static_cast<ssize_t>(sizeof *e + e->len);
    }
    close(watch);
}

// A directory without write permission: the output cannot be created.  Root
// may write anywhere, so as root the program runs as the unprivileged
// "nobody", from a copy it can reach wherever the build is.
TEST(Cli, UnwritableDirectory) {
    temp_dir dir;
    fs::create_directory(dir.path / "ro");
    spit(dir.path / "ro/a.tmp", line_in);
    fs::permissions(dir.path, fs::perms::all);
    fs::permissions(dir.path / "ro/a.tmp", fs::perms::all);
    fs::permissions(dir.path / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
    run_options opts{.user = 65534};
    if (geteuid() == 0) {
        opts.program = (dir.path / "zelmor").string();
        fs::copy_file(program_path(), opts.program);
        fs::permissions(opts.program, fs::perms::all & ~fs::perms::others_write);
    }
    run_result r = run(dir.path, {"ro/a.tmp"}, opts);
    if (r.status == cannot_switch_user) GTEST_SKIP() << "cannot switch to uid 65534";
    if (r.status == cannot_reach_program)
        GTEST_SKIP() << "uid 65534 cannot reach " << opts.program
                     << ": is the temporary directory private?";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, failure);
    EXPECT_EQ(slurp(dir.path / "ro/a.tmp"), line_in);
    EXPECT_FALSE(fs::exists(dir.path / "ro/a.eqn-file"));
}

} // namespace
