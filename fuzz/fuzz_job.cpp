// The job file reader over arbitrary file contents, read from a file as the
// station reads a .zqjob: it is on the trust path (its bytes are what the
// signature covers, its hash pins the image, its words reach the terminal).
// Checked against what a job promises, not only for crashes: the bytes read
// are the file's, a refusal is one printable line, an accepted job is whole
// and reads back the same from the text a new job is written as.
//
// Input: the file's contents.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "release/Job.h"

using namespace zq;

namespace {

[[noreturn]] void Violation(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "\njob property violated: %s [%s]\n", what, detail.c_str());
    std::abort();
}

int JobFd()
{
    static const int fd = memfd_create("zq-fuzz-job", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    return fd;
}

// What a person reads: one line, and no control a terminal would act on
// (a newline, ESC).
bool OnePrintableLine(const std::string& text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
    return !text.empty();
}

bool IsLowerHex64(const std::string& s)
{
    if (s.size() != 64)
        return false;
    for (const char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

void CheckAccepted(const Job& job)
{
    if (job.name.empty() || job.image.empty())
        Violation("accepted without a name or an image");
    if (!IsLowerHex64(job.sha256))
        Violation("accepted hash is not 64 lower-case hex digits", job.sha256);
    if (job.units > 100000000u)
        Violation("lot beyond its limit", std::to_string(job.units));
    if (!std::filesystem::path(job.image).is_absolute())
        Violation("image not taken from the job's folder", job.image);
    std::set<std::string> ports, labels;
    for (const JobSlot& s : job.fixture) {
        if (s.port.empty() || !ports.insert(s.port).second)
            Violation("a slot without a port of its own", s.port);
        if (!s.label.empty() && !labels.insert(s.label).second)
            Violation("two slots with one label", s.label);
    }
    if (job.forwards && job.forward.url.empty())
        Violation("forwards to no address");

    // What --make-job writes from it reads back the same.
    const std::string text = JobText(job.name, job.image, job.sha256, job.units, job.signer);
    Job again;
    std::string error;
    if (!ParseJob(text, std::string(), again, error))
        Violation("a job's own text refused", error);
    if (again.name != job.name || again.image != job.image || again.sha256 != job.sha256 ||
        again.units != job.units || again.signer != job.signer || !again.fixture.empty() || again.forwards)
        Violation("a job's own text reads back otherwise", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = JobFd();
    if (ftruncate(fd, 0) != 0 || (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    Job job;
    std::vector<uint8_t> bytes;
    std::string error;
    const bool accepted = ReadJob(path, job, bytes, error);
    if (bytes.size() != size || !std::equal(bytes.begin(), bytes.end(), data))
        Violation("the bytes read are not the file's");

    // The reader and the parser of the same text agree.
    Job parsed;
    std::string parseError;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (ParseJob(text, "/proc/self/fd", parsed, parseError) != accepted)
        Violation("the file and its text judged apart", error + " | " + parseError);

    if (!accepted) {
        if (!OnePrintableLine(error))
            Violation("a refusal is not one printable line", error);
        if (error.compare(0, path.size() + 2, path + ": ") != 0)
            Violation("a refusal does not name the file", error);
        return 0;
    }
    if (job.path != path)
        Violation("the job does not keep its path", job.path);
    CheckAccepted(job);
    return 0;
}
