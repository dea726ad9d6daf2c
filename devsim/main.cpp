// zerquill-devsim: plays the device on a new pseudo-terminal (or a serial
// port) for the Zerquill Updater, with faults on demand.
#include "devsim/DevSim.h"
#include "platform/Format.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

using namespace zq;

using namespace devsim;

namespace {

const char kUsage[] =
    "Usage: zerquill-devsim [OPTION]...\n"
    "Plays the device's side of the Zerquill Updater download on a new\n"
    "pseudo-terminal (or on a serial port), so the updater can be tested without a\n"
    "device.\n"
    "\n"
    "The first line on standard output is the path of the line to point the updater\n"
    "at (for example /dev/pts/5); everything else goes to standard error. Each\n"
    "session: beacon 0xFD every few ms at 4800 bit/s until 0xFE arrives three times\n"
    "in a row, then at 115200 bit/s: SYN echoed, DBW answered by RDY, header word\n"
    "and block count echoed (ACK or NAK from the tool), CLR answered by progress\n"
    "bytes and ACK, END by RDY, then 128-byte blocks with an XOR checksum each\n"
    "answered by ACK, and END answered by ACK. A session also ends when the tool is\n"
    "silent for --silence-ms after discovery.\n"
    "\n"
    "Line:\n"
    "  --device PATH         use this serial device instead of a new\n"
    "                        pseudo-terminal; the simulator sets 4800 8N1 for the\n"
    "                        beacon and 115200 after it\n"
    "  --pace                deliver and accept bytes at the line rate (10 bits a\n"
    "                        byte: 2.083 ms at 4800, 86.8 us at 115200), for\n"
    "                        benchmarks\n"
    "  --read-lag MS         take the tool's bytes off the line only MS after they\n"
    "                        arrive, as a device busy elsewhere would: a tool that\n"
    "                        throws away what it wrote, or changes speed under bytes\n"
    "                        still in flight, then loses them every time\n"
    "  --no-speed-check      do not check the speed the tool set on the pty (checked\n"
    "                        by default: 4800 in discovery, 115200 after)\n"
    "  --beacon-ms MS        time between beacons (default 15)\n"
    "  --silence-ms MS       silence from the tool that ends a session (default\n"
    "                        3000)\n"
    "\n"
    "Sessions and results:\n"
    "  --sessions N          run N sessions, then exit (default 1; 0 = until\n"
    "                        interrupted)\n"
    "  --rest-ms MS          between sessions, stay silent for MS, as a device that\n"
    "                        starts its application after a download and is only\n"
    "                        later put back into its boot mode (default 0)\n"
    "  --out FILE            write the received data area (the accepted blocks) to\n"
    "                        FILE after each session\n"
    "  --expect FILE         compare what was received with the image FILE: its\n"
    "                        header word, its block count and its data area (bytes\n"
    "                        65536 to 65536 + 128 x blocks); prints \"data matches\n"
    "                        image\" or what differs. Given several times, session k\n"
    "                        is compared with the k-th image, the list starting over\n"
    "                        when it runs out\n"
    "  --trace               print each event of the exchange with its time\n"
    "  -v, --verbose         also say what could not be checked, such as bytes read\n"
    "                        only after the tool had changed the line's speed (their\n"
    "                        speed is unknown; most runs have a few, and no fault)\n"
    "\n"
    "Faults (blocks count from 0; bytes are given as 0x.. or in decimal):\n"
    "  --noise N             send N noise bytes (never 0xFD) just before every\n"
    "                        beacon\n"
    "  --syn-echo wrong|short\n"
    "                        echo SYN with its middle letter changed, or only 2\n"
    "                        bytes\n"
    "  --no-rdy              do not answer DBW (same as --silent-at dbw)\n"
    "  --header-echo KIND[:K]\n"
    "  --count-echo KIND[:K] give the first K attempts (default 1) of the header\n"
    "                        word or block count a wrong (low byte inverted), short\n"
    "                        (1 byte) or missing echo; KIND is wrong, short or\n"
    "                        missing\n"
    "  --progress P          send P progress bytes in the CLR phase before ACK\n"
    "                        (default 0)\n"
    "  --progress-delay MS   wait MS before each progress byte (default 0)\n"
    "  --progress-byte B     the progress byte (default 0x2E; not 0x06)\n"
    "  --flood MS|forever    after those, send progress bytes at full speed for MS,\n"
    "                        or until the tool stops reading or the simulator is\n"
    "                        stopped\n"
    "  --flood-bytes N       instead: send N progress bytes at full speed\n"
    "  --refuse K[:N]        refuse block K (from 0) N times (default 1); may be\n"
    "                        repeated\n"
    "  --refusal-byte B      the byte for refused blocks and checksum errors\n"
    "                        (default 0x15; not 0x06)\n"
    "  --final-reply B       answer the closing END with B instead of ACK\n"
    "  --silent-at STEP      stop answering at STEP and only listen: syn, dbw,\n"
    "                        header, count, clr, end (after the CLR phase), block:K,\n"
    "                        final\n"
    "  --hangup-at K         close the line when block K (from 0) has arrived\n"
    "\n"
    "  -V, --version         print the version and exit\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "A session is completed when the closing END arrived and was answered, whatever\n"
    "faults were asked for. Exit status: 0 when every session completed (and matched\n"
    "the --expect image), 1 otherwise, 2 when an --expect image cannot be read, 64\n"
    "for a usage error. Ctrl-C ends the simulator; with --sessions 0 a session still\n"
    "waiting for a tool does not count.\n"
    "\n"
    "Examples:\n"
    "  zerquill-devsim --expect DB.bin |\n"
    "    { read -r pty; zerquill-flash --port \"$pty\" --image DB.bin; }\n"
    "      one download into a simulated device, checked against the image\n"
    "  zerquill-devsim --sessions 0 --pace --trace\n"
    "      a device at the line's real pace, session after session, every event shown\n"
    "  zerquill-devsim --refuse 3:2 --progress 20 --progress-delay 50\n"
    "      refuse block 3 twice; 20 progress bytes after CLR, 50 ms apart\n"
    "  zerquill-devsim --device /dev/ttyUSB1 --sessions 0 --expect DB.bin\n"
    "      the device on a real serial port, wired to the tool's by null-modem cable\n";

const char* const kVersion = ZQ_VERSION;

CDevSim* g_sim = nullptr;
volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int)
{
    g_interrupted = 1;
    if (g_sim)
        g_sim->Stop();
}

struct UsageError {
    std::string what;
};

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

unsigned Number(const std::string& opt, const std::string& text, unsigned long max = 0xFFFFFFFFul)
{
    unsigned long v = 0;
    if (!ParseUnsigned(text, max, v))
        throw UsageError{opt + ": not a number in range: '" + text + "'"};
    return static_cast<unsigned>(v);
}

uint8_t Byte(const std::string& opt, const std::string& text)
{
    return static_cast<uint8_t>(Number(opt, text, 0xFF));
}

// "A[:B]" with B defaulting to def.
void Pair(const std::string& opt, const std::string& text, std::string& a, unsigned& b, unsigned def)
{
    const size_t colon = text.find(':');
    a = text.substr(0, colon);
    b = colon == std::string::npos ? def : Number(opt, text.substr(colon + 1));
}

DevSimEchoFault EchoFault(const std::string& opt, const std::string& text)
{
    std::string kind;
    DevSimEchoFault f;
    Pair(opt, text, kind, f.attempts, 1);
    if (kind == "wrong")
        f.echo = DevSimEcho::Wrong;
    else if (kind == "short")
        f.echo = DevSimEcho::Short;
    else if (kind == "missing")
        f.echo = DevSimEcho::Missing;
    else
        throw UsageError{opt + ": expected wrong, short or missing, not '" + kind + "'"};
    return f;
}

struct Program {
    DevSimOptions opt;
    std::string device;
    std::vector<std::string> expectFiles;
    bool trace = false;
    bool verbose = false;
    unsigned restMs = 0;
};

// The options as declared. Every one takes effect where it stands on the
// command line: a later one of the same name wins (--expect and --refuse add
// up), the first wrong value is the one told, and after --help or --version
// nothing more is read.
struct Declared {
    CLI::App& app;
    std::string answer; // what --help or --version prints, once the line is read

    void Value(const char* name, std::function<void(const std::string&)> take)
    {
        app.add_option_function<std::string>(name, [this, take](const std::string& v) {
               if (answer.empty())
                   take(v);
           })->trigger_on_parse();
    }
    void Flag(const char* names, std::function<void()> set)
    {
        app.add_flag_callback(names, [this, set] {
               if (answer.empty())
                   set();
           })->disable_flag_override()->trigger_on_parse();
    }
};

void DeclareLine(Declared& d, Program& p)
{
    d.Value("--device", [&p](const std::string& v) { p.device = v; });
    d.Flag("--pace", [&p] { p.opt.pace = true; });
    d.Value("--read-lag", [&p](const std::string& v) { p.opt.readLagMs = Number("--read-lag", v, 1000); });
    d.Flag("--no-speed-check", [&p] { p.opt.checkSpeed = false; });
    d.Value("--beacon-ms", [&p](const std::string& v) {
        p.opt.beaconIntervalMs = Number("--beacon-ms", v, 60000);
        if (p.opt.beaconIntervalMs == 0)
            throw UsageError{"--beacon-ms: must be at least 1"};
    });
    d.Value("--silence-ms", [&p](const std::string& v) { p.opt.silenceMs = Number("--silence-ms", v, 3600000); });
    d.Value("--sessions", [&p](const std::string& v) {
        p.opt.sessions = static_cast<int>(Number("--sessions", v, 1000000000));
    });
    d.Value("--rest-ms", [&p](const std::string& v) { p.restMs = Number("--rest-ms", v, 3600000); });
    d.Value("--out", [&p](const std::string& v) { p.opt.outFile = v; });
    d.Value("--expect", [&p](const std::string& v) { p.expectFiles.push_back(v); });
    d.Flag("--trace", [&p] { p.trace = true; });
    d.Flag("-v,--verbose", [&p] { p.verbose = true; });
}

DevSimStep SilentStep(const std::string& text, unsigned& block)
{
    static const struct {
        const char* name;
        DevSimStep step;
    } kSteps[] = {{"syn", DevSimStep::Syn},     {"dbw", DevSimStep::Dbw}, {"header", DevSimStep::Header},
                  {"count", DevSimStep::Count}, {"clr", DevSimStep::Clr}, {"end", DevSimStep::End},
                  {"final", DevSimStep::Final}};
    for (const auto& s : kSteps)
        if (text == s.name)
            return s.step;
    if (text.rfind("block:", 0) == 0) {
        block = Number("--silent-at", text.substr(6), 0xFFFF);
        return DevSimStep::Block;
    }
    throw UsageError{"--silent-at: unknown step '" + text + "'"};
}

// A byte the device answers with where ACK would mean something else.
uint8_t NotAck(const char* opt, const std::string& text, const char* ackMeans)
{
    const uint8_t byte = Byte(opt, text);
    if (byte == 0x06)
        throw UsageError{std::string(opt) + ": 0x06 is ACK, which " + ackMeans};
    return byte;
}

void DeclareFaults(Declared& d, DevSimOptions& o)
{
    d.Value("--noise", [&o](const std::string& v) { o.noiseBytes = Number("--noise", v, 1000); });
    d.Value("--syn-echo", [&o](const std::string& v) {
        if (v != "wrong" && v != "short")
            throw UsageError{"--syn-echo: expected wrong or short, not '" + v + "'"};
        o.synEcho = v == "wrong" ? DevSimEcho::Wrong : DevSimEcho::Short;
    });
    d.Flag("--no-rdy", [&o] { o.noRdy = true; });
    d.Value("--header-echo", [&o](const std::string& v) { o.headerEcho = EchoFault("--header-echo", v); });
    d.Value("--count-echo", [&o](const std::string& v) { o.countEcho = EchoFault("--count-echo", v); });
    d.Value("--progress", [&o](const std::string& v) { o.progressBytes = Number("--progress", v); });
    d.Value("--progress-delay",
          [&o](const std::string& v) { o.progressDelayMs = Number("--progress-delay", v, 3600000); });
    d.Value("--progress-byte", [&o](const std::string& v) {
        o.progressByte = NotAck("--progress-byte", v, "ends the CLR phase");
    });
    d.Value("--flood", [&o](const std::string& v) {
        o.floodMs = v == "forever" ? -1 : static_cast<int>(Number("--flood", v, 0x7FFFFFFF));
    });
    d.Value("--flood-bytes", [&o](const std::string& v) { o.floodBytes = Number("--flood-bytes", v); });
    d.Value("--refuse", [&o](const std::string& v) {
        std::string block;
        DevSimRefusal r;
        Pair("--refuse", v, block, r.times, 1);
        r.block = Number("--refuse", block, 0xFFFF);
        o.refusals.push_back(r);
    });
    d.Value("--refusal-byte", [&o](const std::string& v) {
        o.refusalByte = NotAck("--refusal-byte", v, "accepts the block");
    });
    d.Value("--final-reply", [&o](const std::string& v) { o.finalReply = Byte("--final-reply", v); });
    d.Value("--silent-at", [&o](const std::string& v) { o.silentAt = SilentStep(v, o.silentBlock); });
    d.Value("--hangup-at",
          [&o](const std::string& v) { o.hangupBlock = static_cast<long>(Number("--hangup-at", v, 0xFFFF)); });
}

// The parser's words for a missing value or a value given to a flag begin
// with the option's name (a flag's without its dashes); ours say it shorter.
std::string MismatchText(const std::string& what)
{
    std::string name = what.substr(0, what.find_first_of(": "));
    if (what.find("flag override") == std::string::npos)
        return name + ": needs a value";
    return (name.rfind("-", 0) == 0 ? name : "--" + name) + ": takes no value";
}

// The first word no option takes; empty when --help or --version came first.
std::string StrayText(const std::vector<std::string>& strays, int argc, char** argv, bool answered)
{
    const std::string word = strays.empty() ? std::string() : strays.front();
    for (int i = 1; answered && i < argc && word != argv[i]; ++i)
        for (const char* answer : {"-h", "--help", "-V", "--version"})
            if (std::strcmp(argv[i], answer) == 0)
                return std::string();
    if (word.empty() || word[0] != '-')
        return "unexpected argument \"" + word + "\"";
    return "unknown option " + (word.rfind("--", 0) == 0 ? word.substr(0, word.find('=')) : word);
}

// What the parser would take apart or pass over: a cluster of short
// options (-vV) and "--" are not ours. Empty when none comes before an
// answer (--help, --version).
std::string UnsplitWords(const CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const CLI::Option* option = app.get_option_no_throw(word);
        if (word == "-h" || word == "--help" || word == "-V" || word == "--version")
            return std::string();
        if (word == "--" || (word.size() > 2 && word[0] == '-' && word[1] != '-'))
            return "unknown option " + word;
        if (option && option->get_items_expected_max() > 0)
            ++i; // its value, whatever it looks like
    }
    return std::string();
}

// -1 to run with p; else the exit status, after the help, the version or
// the usage error.
int ParseArgs(int argc, char** argv, Program& p)
{
    CLI::App app("", "zerquill-devsim");
    app.set_help_flag();
    Declared d{app, {}};
    DeclareLine(d, p);
    DeclareFaults(d, p.opt);
    d.Flag("-h,--help", [&d] { d.answer = kUsage; });
    d.Flag("-V,--version", [&d] { d.answer = std::string("zerquill-devsim ") + kVersion + "\n"; });
    std::string error = UnsplitWords(app, argc, argv);
    try {
        if (!error.empty())
            throw UsageError{error};
        app.parse(argc, argv);
        if (!p.device.empty())
            p.opt.line = DevSimLineKind::Serial;
        if (d.answer.empty())
            return -1;
    } catch (const UsageError& e) {
        error = e.what;
    } catch (const CLI::ExtrasError&) {
        error = StrayText(app.remaining(), argc, argv, !d.answer.empty());
    } catch (const CLI::ArgumentMismatch& e) {
        error = d.answer.empty() ? MismatchText(e.what()) : std::string();
    } catch (const CLI::ParseError& e) {
        error = e.what();
    }
    if (!error.empty()) {
        std::fprintf(stderr, "zerquill-devsim: %s; try --help\n", error.c_str());
        return 64;
    }
    std::fputs(d.answer.c_str(), stdout);
    return 0;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The line the tool is pointed at: a new pseudo-terminal (its other end
// kept open in keepOpen), or the serial device. False after saying why.
bool OpenLine(const Program& prog, CUniqueFd& line, CUniqueFd& keepOpen, std::string& path)
{
    std::string error;
    if (prog.device.empty()) {
        DevSimPty pty;
        if (!OpenDevSimPty(pty, error)) {
            std::fprintf(stderr, "zerquill-devsim: %s\n", error.c_str());
            return false;
        }
        line = std::move(pty.master);
        keepOpen = std::move(pty.slave);
        path = pty.slavePath;
        return true;
    }
    if (!OpenDevSimSerial(prog.device, line, error)) {
        std::fprintf(stderr, "zerquill-devsim: %s\n", error.c_str());
        return false;
    }
    path = prog.device;
    return true;
}

// The sessions asked for, each told on stderr; true when every one
// completed (and matched its --expect image).
bool RunSessions(CDevSim& sim, const Program& prog, const std::vector<std::vector<uint8_t>>& images)
{
    const int sessions = prog.opt.sessions;
    bool allOk = true;
    int done = 0;
    while (sessions == 0 || done < sessions) {
        const DevSimReport rep = sim.RunSession();
        if (g_interrupted && !rep.sawBeaconReply) {
            // Interrupted while still waiting for a tool: nothing happened.
            return allOk && sessions == 0;
        }
        ++done;
        std::fprintf(stderr, "session %d: %s", done, FormatSummary(rep, prog.verbose).c_str());
        bool ok = rep.completed;
        if (!images.empty() && rep.completed) {
            const std::string diff = CompareWithImage(rep, images[static_cast<size_t>(done - 1) % images.size()]);
            if (diff.empty()) {
                std::fprintf(stderr, "data matches image\n");
            } else {
                std::fprintf(stderr, "data do not match image: %s\n", diff.c_str());
                ok = false;
            }
        }
        allOk = allOk && ok;
        if (g_interrupted || !sim.LineOpen()) {
            if (!sim.LineOpen() && !g_interrupted)
                std::fprintf(stderr, "the line is closed; no more sessions\n");
            return allOk && !(sessions != 0 && done < sessions);
        }
        if (prog.restMs && (sessions == 0 || done < sessions)) {
            for (unsigned waited = 0; waited < prog.restMs && !g_interrupted; waited += 10)
                ::usleep(10000);
        }
    }
    return allOk;
}

} // namespace

int main(int argc, char** argv)
{
    Program prog;
    const int parsed = ParseArgs(argc, argv, prog);
    if (parsed >= 0)
        return parsed;

    std::vector<std::vector<uint8_t>> images;
    for (const std::string& file : prog.expectFiles) {
        images.emplace_back();
        if (!ReadWholeFile(file, images.back())) {
            std::fprintf(stderr, "zerquill-devsim: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
            return 2;
        }
    }
    if (prog.trace)
        prog.opt.trace = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    CUniqueFd line;
    CUniqueFd keepOpen;
    std::string path;
    if (!OpenLine(prog, line, keepOpen, path))
        return 1;
    // A script that reads the path line and closes the pipe must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    const int sessions = prog.opt.sessions;
    CDevSim sim(std::move(line), prog.opt, std::move(keepOpen));
    g_sim = &sim;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const std::vector<std::string> faults = DescribeFaults(sim.Options());
    if (faults.empty())
        std::fprintf(stderr, "faults: none\n");
    for (const auto& f : faults)
        std::fprintf(stderr, "fault: %s\n", f.c_str());
    std::fprintf(stderr, "line %s%s; %s\n", path.c_str(), sim.Options().pace ? ", paced" : "",
                 sessions ? Counted(unsigned(sessions), "session").c_str() : "endless sessions");
    const bool allOk = RunSessions(sim, prog, images);
    g_sim = nullptr;
    return allOk ? 0 : 1;
}
