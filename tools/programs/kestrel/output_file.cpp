#include "tools/programs/kestrel/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace kn::cli {

namespace {

std::string FolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

COutputFile::~COutputFile() { Abandon(); }

bool COutputFile::IsMp4() const
{
    static const std::string kSuffix = ".mp4";
    if (m_Path.size() <= kSuffix.size()) {
        return false;
    }
    for (size_t i = 0; i < kSuffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(m_Path[m_Path.size() - kSuffix.size() + i])) != kSuffix[i]) {
            return false;
        }
    }
    return true;
}

bool COutputFile::Prepare(const std::string &path, bool noClobber, std::string &message)
{
    m_Path = path;
    m_bNoClobber = noClobber;
    if (path == "-") {
        if (::isatty(STDOUT_FILENO)) {
            message = "refusing to write video to a terminal: give -o FILE";
            return false;
        }
        m_pFile = stdout;
        m_bInPlace = true;
        return true;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            message = "cannot write " + path + ": it is a folder";
            return false;
        }
        if (noClobber) {
            message = path + " exists and --no-clobber was given: nothing done";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            if (::access(path.c_str(), W_OK) != 0) {
                message = "cannot write to " + path + ": " + std::strerror(errno);
                return false;
            }
            m_bInPlace = true;
            return true;
        }
    }
    if (IsMp4() && !mp4::Available()) {
        mp4::CMp4File probe;
        probe.Open(path, message);
        return false;
    }
    const std::string folder = FolderOf(path);
    if (::access(folder.c_str(), W_OK) != 0) {
        message = "cannot write to " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void COutputFile::SetMp4(mp4::Mp4Timing timing, std::function<bool()> abort)
{
    m_Mp4Timing = timing;
    m_Mp4Abort = std::move(abort);
}

std::string COutputFile::Failure() const
{
    if (!m_Mp4Failure.empty()) {
        return m_Mp4Failure;
    }
    return "writing " + (IsStdout() ? std::string("to standard output") : WritePath()) + " failed" +
           (m_nErrno != 0 ? std::string(": ") + std::strerror(m_nErrno) : "");
}

bool COutputFile::Start(std::string &message)
{
    if (!IsMp4() || m_pMp4 != nullptr || m_bFailed) {
        return !m_bFailed;
    }
    m_pMp4 = std::make_unique<mp4::CMp4File>();
    m_pMp4->SetAbort(m_Mp4Abort);
    if (!m_pMp4->Open(WritePath(), m_Mp4Failure, m_Mp4Timing)) {
        m_pMp4.reset();
        m_bFailed = true;
        message = m_Mp4Failure;
        return false;
    }
    return true;
}

bool COutputFile::Write(const void *data, size_t len)
{
    if (m_bFailed || m_bDone) {
        return false;
    }
    if (IsMp4()) {
        std::string ignored;
        if (m_pMp4 == nullptr && !Start(ignored)) {
            return false;
        }
        if (!m_pMp4->Write(static_cast<const uint8_t *>(data), len)) {
            m_Mp4Failure = m_pMp4->Failure();
            m_bFailed = true;
            return false;
        }
        m_qwBytes += len;
        return true;
    }
    if (m_pFile == nullptr) {
        m_pFile = std::fopen(WritePath().c_str(), "wb");
        if (m_pFile == nullptr) {
            m_nErrno = errno;
            m_bFailed = true;
            return false;
        }
    }
    if (len != 0 && std::fwrite(data, 1, len, m_pFile) != len) {
        m_nErrno = errno;
        m_bFailed = true;
        return false;
    }
    m_qwBytes += len;
    return true;
}

bool COutputFile::CloseFile()
{
    if (m_pMp4 != nullptr) {
        if (!m_pMp4->Close(m_Mp4Failure)) {
            m_bFailed = true;
        }
        m_pMp4.reset();
        return !m_bFailed;
    }
    if (m_pFile == nullptr) {
        return !m_bFailed;
    }
    if (std::fflush(m_pFile) != 0) {
        m_bFailed = true;
    }
    if (m_pFile != stdout && std::fclose(m_pFile) != 0) {
        m_bFailed = true;
    }
    m_pFile = nullptr;
    return !m_bFailed;
}

bool COutputFile::Commit(std::string &message)
{
    if (m_bDone) {
        return true;
    }
    m_bDone = true;
    if (m_bInPlace) {
        if (!CloseFile()) {
            message = Failure();
            return false;
        }
        return true;
    }
    if (m_pFile == nullptr && m_pMp4 == nullptr && !m_bFailed) {
        if (IsMp4()) {
            message = "nothing to put in " + m_Path + ": no video came";
            return false;
        }
        // A job that ended as asked with no bytes (an empty parameter, say)
        // still leaves its file.
        m_pFile = std::fopen(PartPath().c_str(), "wb");
        m_bFailed = m_pFile == nullptr;
    }
    if (!CloseFile()) {
        message = m_Mp4Failure.empty() ? "writing " + PartPath() + " failed" : m_Mp4Failure;
        return false;
    }
    if (m_bNoClobber) {
        // link() refuses an existing name atomically, where rename() would
        // replace it.
        if (::link(PartPath().c_str(), m_Path.c_str()) != 0) {
            message = errno == EEXIST
                          ? m_Path + " appeared meanwhile and --no-clobber was given: the result is in " + PartPath()
                          : "cannot create " + m_Path + ": " + std::strerror(errno);
            return false;
        }
        ::unlink(PartPath().c_str());
        return true;
    }
    if (std::rename(PartPath().c_str(), m_Path.c_str()) != 0) {
        message = "cannot move " + PartPath() + " to " + m_Path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string COutputFile::Abandon()
{
    if (m_bDone) {
        return "";
    }
    m_bDone = true;
    if (m_bInPlace || m_Path.empty()) {
        CloseFile();
        return "";
    }
    const bool had = m_pFile != nullptr || m_pMp4 != nullptr;
    CloseFile();
    if (!had) {
        return "";
    }
    // An MP4 muxer that failed may have written nothing at all.
    struct stat st {};
    if (m_qwBytes == 0 || (IsMp4() && (::stat(PartPath().c_str(), &st) != 0 || st.st_size == 0))) {
        ::unlink(PartPath().c_str());
        return "";
    }
    return PartPath();
}

}  // namespace kn::cli
