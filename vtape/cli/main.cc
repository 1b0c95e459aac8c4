// vtape: creates and lists AWSTAPE images and runs a command with the virtual
// tape drive (libvtape.so) standing in for /dev/nst0.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"

namespace vtape::cli {

namespace {

constexpr char kUsage[] =
    "usage: vtape create [--force] [--size SIZE] IMAGE\n"
    "       vtape list IMAGE\n"
    "       vtape run IMAGE [--device PATH] [--require-hidden-devices] [FAULT...] -- COMMAND [ARG...]\n"
    "       vtape create LIBDIR --slots N [--drives D] [--barcodes FIRST|B1,B2,...]\n"
    "                    [--empty SLOT,...] [--copy IMAGE]... [--size SIZE]\n"
    "       vtape list LIBDIR\n"
    "       vtape run LIBDIR [--changer PATH] [LIBRARY-FAULT...] -- COMMAND [ARG...]\n"
    "       vtape --help | --version\n";

// Each "Options of COMMAND ARGUMENT:" section lists, one to a line, the
// options that command takes with that argument; the shell completion reads
// them from here.
constexpr char kHelp[] =
    "\n"
    "Keeps a tape in an AWSTAPE image file and plays the Linux tape driver for it.\n"
    "\n"
    "  create IMAGE     make a blank tape\n"
    "  list IMAGE       show every block (with hex, and EBCDIC text for 80-byte\n"
    "                   blocks), tape mark and the end of data; exit 1 if the\n"
    "                   image is corrupt\n"
    "  run IMAGE        run COMMAND with the drive loaded with IMAGE and exit\n"
    "                   with its status; TAPE is set to the drive's name\n"
    "\n"
    "Options of create IMAGE:\n"
    "  --force              replace an existing file\n"
    "  --size SIZE          give the tape an end: bytes, or with K, M, G, T\n"
    "                       (default: no end)\n"
    "\n"
    "Options of run IMAGE:\n"
    "  --device PATH        name the drive answers to (default /dev/nst0); the\n"
    "                       matching st/nst name is served too\n"
    "  --require-hidden-devices\n"
    "                       exit 125 rather than run with the machine's own tape\n"
    "                       devices in sight when they cannot be hidden\n"
    "  --fail-open ERRNO    every open of the drive fails with ERRNO (EIO, 5, ...)\n"
    "  --no-medium          no tape loaded: open fails with ENOMEDIUM\n"
    "  --write-protect      tape is write-protected: O_RDWR/O_WRONLY give EROFS\n"
    "  --fail-rewind        MTREW fails with EIO\n"
    "  --fail-setblk        MTSETBLK fails with EIO\n"
    "  --fail-rewind-at N   only the Nth MTREW fails with EIO\n"
    "  --fail-setblk-at N   only the Nth MTSETBLK fails with EIO\n"
    "  --fail-weof          writing tape marks fails with EIO\n"
    "  --fail-read N        the Nth read() of the drive fails with EIO\n"
    "  --fail-write N       the Nth write() of the drive fails with EIO\n"
    "  --short-write N[:BYTES]\n"
    "                       the Nth write() records only BYTES bytes (default 40)\n"
    "  --fail-close         close() of the drive fails with EIO\n"
    "  --block-limits MIN:MAX\n"
    "                       the drive's block limits (default 1:16777215, an HP\n"
    "                       LTO drive's)\n"
    "\n"
    "A library is a folder of tapes (BARCODE.aws) in slots and 1 to 8 drives,\n"
    "with a medium changer for mtx. run puts the drives at /dev/nst0, /dev/st0,\n"
    "/dev/nst1, ... and the changer at /dev/sch0, and sets CHANGER and TAPE.\n"
    "\n"
    "Options of create LIBDIR:\n"
    "  --slots N            the number of slots, 1 to 1000\n"
    "  --drives D           the number of drives, 1 to 8 (default 1)\n"
    "  --barcodes FIRST     a series counting up from FIRST (default VTP001L8);\n"
    "                       a comma-separated list: these, slots after it empty\n"
    "  --empty SLOT,...     slots left empty\n"
    "  --drive-devices N,...  the st device number of each drive, in the\n"
    "                       library's order (default 0,1,...): with 1,0 drive 0\n"
    "                       is /dev/nst1\n"
    "  --copy IMAGE         the next cartridge is a copy of IMAGE, not blank\n"
    "  --size SIZE          every cartridge's capacity, as for create IMAGE (a copy\n"
    "                       keeps its image's without it)\n"
    "\n"
    "Options of run LIBDIR:\n"
    "  --changer PATH       the changer's device name (default /dev/sch0)\n"
    "  --fail-move BARCODE,...    every move of these cartridges fails\n"
    "  --fail-load DRIVE,...      these drives fail to load a cartridge\n"
    "  --unreadable-barcode BARCODE,...  the changer cannot read these labels\n"
    "  --write-protect-tape BARCODE,...  these cartridges are write-protected\n"
    "  --changer-silent     the changer does not answer\n"
    "  --timing FACTOR      take the time a real library takes, FACTOR times faster\n"
    "\n"
    "Exit status: 125 for vtape's own errors (a bad command line among them), 126\n"
    "if COMMAND cannot be run, 127 if it is not found, else COMMAND's status; list\n"
    "gives 1 for a corrupt image. vaklabel gives 1 for a bad command line,\n"
    "vaklabel-show 3, vaklabel-library 2.\n";

}  // namespace

void UsageError(const std::string& problem) {
  fprintf(stderr, "vtape: %s\n", problem.c_str());
  fputs(kUsage, stderr);
  exit(kExitFailure);
}

void Fatal(const std::string& message) {
  fprintf(stderr, "vtape: %s\n", message.c_str());
  exit(kExitFailure);
}

void FatalErrno(const std::string& path) { Fatal(path + ": " + strerror(errno)); }

namespace {

int Help(int, char**) {
  fputs(kUsage, stdout);
  fputs(kHelp, stdout);
  return 0;
}

// --help or -h among a command's own arguments (before "--", after which
// they are COMMAND's).
bool AsksForHelp(int argc, char** argv) {
  for (int i = 0; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

int Version(int, char**) {
  puts("vtape (vaklabel) " VTAPE_VERSION);
  return 0;
}

}  // namespace

}  // namespace vtape::cli

int main(int argc, char** argv) {
  using namespace vtape::cli;
  if (argc < 2) UsageError("missing command: create, list or run");
  const char* command = argv[1];
  struct {
    const char* name;
    int (*run)(int, char**);
  } constexpr kCommands[] = {
      {"create", Create},   {"list", List},      {"run", Run},         {"--help", Help},
      {"-h", Help},         {"help", Help},      {"--version", Version}, {"version", Version},
  };
  for (const auto& c : kCommands) {
    if (strcmp(command, c.name) != 0) continue;
    return AsksForHelp(argc - 2, argv + 2) ? Help(0, nullptr) : c.run(argc - 2, argv + 2);
  }
  UsageError(std::string(command) + ": not a command (create, list or run)");
}
