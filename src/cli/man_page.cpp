#include "cli/man_page.h"

#include <sstream>

namespace quorlen::cli {

namespace {

// Text as roff reads it: a backslash is printed with \e, a hyphen with \-
// (so that options can be copied from the page), and a line that would start
// with a control character is protected with \&.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

struct Entry {
    const char* term;
    const char* text;
};

const Entry kEnvironment[] = {
    {"QUORLEN_PRIV", "the private key, when neither --priv nor --priv-file is given."},
    {"QUORLEN_API_TOKEN", "the API's bearer token, when --api is given without --api-token or --api-token-file."},
    {"BY_SEGMENT, PRECOMPUTE", "0 or another number: override --by-segment and --precompute."},
    {"GPU_BATCH", "a number above 0: overrides --start-batch."},
    {"DIFF_OVERRIDE", "a target that replaces the node's on every pass, as written."},
    {"QUORLEN_NVML_LIBRARY", "the GPU management library to load for telemetry instead of libnvidia-ml.so.1."},
    {"XDG_CACHE_HOME", "OpenCL builds keep their compiled kernels under it (default ~/.cache)."},
};

const Entry kExitStatus[] = {
    {"0", "stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP, or because standard output's reader is gone; the final "
          "statistics were printed."},
    {"1", "a command-line error: the usage text, or one line naming the option and its value."},
    {"2", "the private key was refused."},
    {"3", "no GPU (no CUDA devices; no OpenCL devices in an OpenCL build)."},
    {"4", "no --devices entry names an existing GPU."},
    {"5", "a GPU could not be brought up, none passed its self-test, or another start-up failure."},
    {"6", "every GPU became unusable or stopped answering, at start or while mining (with --exit-on-stall: any GPU "
          "stopped answering)."},
};

void entries(std::ostringstream& out, const Entry* begin, const Entry* end) {
    for (const Entry* e = begin; e != end; ++e) out << ".TP\n.B " << roff(e->term) << "\n" << roff(e->text) << "\n";
}

}  // namespace

std::string man_page(const std::vector<CliOption>& options, const std::string& version) {
    std::ostringstream out;
    out << ".TH QUORLEN\\-GPU\\-MINER 1 \"\" \"quorlen-gpu-miner " << roff(version) << "\" \"User Commands\"\n"
        << ".SH NAME\nquorlen\\-gpu\\-miner \\- Argon2id proof\\-of\\-work miner for GPUs\n"
        << ".SH SYNOPSIS\n\\fBquorlen\\-gpu\\-miner\\fR [\\fIOPTION\\fR [\\fIVALUE\\fR]]...\n"
        << ".SH DESCRIPTION\n"
        << "Mines blocks of the quorlen chain: reads the chain from a node over HTTP, hashes candidate blocks "
           "with Argon2id (one pass, 16 MiB, 2 lanes) on every selected GPU, and sends each block that meets the "
           "target over a WebSocket, signed with the user's secp256k1 key.\n"
        << ".PP\nEvery option takes its value as the next argument, whatever it looks like. Numbers are read "
           "from their leading digits; a value without them, or out of range, is refused with one line and "
           "status 1. The usage text (printed on an unknown option) lists the first options only; this page "
           "lists them all.\n"
        << ".SH OPTIONS\n";
    for (const CliOption& o : options) {
        out << ".TP\n\\fB" << roff(o.name) << "\\fR";
        if (*o.value) out << " \\fI" << roff(o.value) << "\\fR";
        out << "\n" << roff(o.text) << "\n";
    }
    out << ".SH ENVIRONMENT\n";
    entries(out, std::begin(kEnvironment), std::end(kEnvironment));
    out << ".SH EXIT STATUS\n";
    entries(out, std::begin(kExitStatus), std::end(kExitStatus));
    out << ".SH FILES\n.TP\n.B /etc/default/quorlen\\-gpu\\-miner\n"
        << "options for the packaged service (QUORLEN_MINER_OPTS).\n"
        << ".TP\n.B /etc/quorlen\\-gpu\\-miner/priv.key\n"
        << "the service's key, readable by root alone, handed to the miner through systemd's credentials.\n"
        << ".TP\n.B /var/lib/quorlen\\-gpu\\-miner/tune.json\n"
        << "the service's remembered tuning (\\-\\-tune\\-file), in its state directory.\n"
        << ".SH SEE ALSO\n.BR systemd.exec (5);\n"
        << "the README and docs/ in /usr/share/doc/quorlen\\-gpu\\-miner.\n";
    return out.str();
}

}  // namespace quorlen::cli
