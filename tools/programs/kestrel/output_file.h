// COutputFile: where a job's bytes go without ever destroying a file. The
// bytes are written to NAME.part, created only when the first byte comes;
// Commit renames it to NAME once the job ended as asked, Abandon leaves what
// came in NAME.part (or removes it when nothing came). NAME itself is never
// opened for writing, so a failed job leaves an existing NAME as it was.
// "-" is standard output, written straight through, and so is a NAME that
// exists and is not a regular file (/dev/null, a FIFO, a terminal device):
// renaming a file over it would replace the device itself. A NAME ending in ".mp4"
// is an MP4 file: Write then takes one H.264 access unit per call, and
// NAME.part is finished as a playable MP4 file when it is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "tools/programs/mp4/mp4_file.h"

namespace kn::cli {

class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile();  // Abandon()
    COutputFile(const COutputFile &) = delete;
    COutputFile &operator=(const COutputFile &) = delete;

    // Checks, before anything is sent, that the result can be written:
    // a terminal is refused for standard output, --no-clobber refuses an
    // existing NAME, and NAME's folder must exist and be writable. False with
    // a message.
    bool Prepare(const std::string &path, bool noClobber, std::string &message);
    // How an MP4 file is timed, and what makes its waits for the muxer give
    // up (Ctrl-C); set before the first Write.
    void SetMp4(mp4::Mp4Timing timing, std::function<bool()> abort);
    // Starts an MP4 file's muxer now, so that GStreamer's start does not
    // hold up the first frame (NAME.part is then created at once, and
    // removed again when no video comes). Nothing for other files. False
    // with a message.
    bool Start(std::string &message);
    // Appends bytes, creating NAME.part on the first call. False once a write
    // (or the creation) failed; every later call is then ignored.
    bool Write(const void *data, size_t len);
    uint64_t Bytes() const { return m_qwBytes; }
    bool Failed() const { return m_bFailed; }
    // Why writing failed: the MP4 muxer's reason, or the file's.
    std::string Failure() const;
    bool IsStdout() const { return m_Path == "-"; }
    // Standard output or a device: the bytes go to NAME itself, with no
    // NAME.part and nothing renamed.
    bool InPlace() const { return m_bInPlace; }
    bool IsMp4() const;
    const std::string &Path() const { return m_Path; }
    std::string PartPath() const { return m_Path + ".part"; }
    // Where the bytes are written: NAME.part, or NAME when in place.
    std::string WritePath() const { return m_bInPlace ? m_Path : PartPath(); }

    // Closes NAME.part and moves it to NAME (with --no-clobber only if NAME
    // still does not exist). False with a message; NAME.part is then kept.
    bool Commit(std::string &message);
    // Closes NAME.part and keeps it when it holds bytes, removes it when
    // not. Returns the path kept, or "" when nothing was kept.
    std::string Abandon();

private:
    bool CloseFile();

    std::string m_Path;
    std::FILE *m_pFile = nullptr;
    std::unique_ptr<mp4::CMp4File> m_pMp4;  // instead of m_pFile for an MP4 file
    std::string m_Mp4Failure;
    mp4::Mp4Timing m_Mp4Timing;
    std::function<bool()> m_Mp4Abort;
    bool m_bNoClobber = false;
    bool m_bInPlace = false;
    bool m_bFailed = false;
    int m_nErrno = 0;  // of the failed write
    bool m_bDone = false;
    uint64_t m_qwBytes = 0;
};

}  // namespace kn::cli
