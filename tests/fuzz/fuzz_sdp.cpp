/* fuzz_sdp.cpp -- the SDP reader on arbitrary text, for both sides of a session and with either
 * stream left out; what it read is written back as a description and read again. Rules checked
 * beside the sanitizers: the format parameters stay terminated inside their field. */
#include <string.h>

#include "fuzz_support.h"
#include "ruxo.h"
#include "ruxo_cmdline_internal.h"

static void checkStreams(const RUXO_VIDEO_STREAM& video, const RUXO_AUDIO_STREAM& audio)
{
    FUZZ_CHECK(strnlen(video.rtp.szFmtp, RUXO_FMTP_SIZE) < RUXO_FMTP_SIZE, "video format parameters");
    FUZZ_CHECK(strnlen(audio.rtp.szFmtp, RUXO_FMTP_SIZE) < RUXO_FMTP_SIZE, "audio format parameters");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    /* fmemopen refuses an empty buffer: an empty description is one NUL byte long. */
    std::string strText(reinterpret_cast<const char*>(data), size);
    if (strText.empty())
        strText.push_back('\0');
    RUXO_VIDEO_STREAM video;
    RUXO_AUDIO_STREAM audio;
    for (int nPass = 0; nPass < 4; nPass++) {
        FILE* fp = fmemopen(&strText[0], strText.size(), "r");
        FUZZ_CHECK(fp != nullptr, "fmemopen");
        const int iDst = nPass & 1;
        RUXO_VIDEO_STREAM* pVideo = nPass == 2 ? nullptr : &video;
        RUXO_AUDIO_STREAM* pAudio = nPass == 3 ? nullptr : &audio;
        memset(&video, 0x5a, sizeof video);
        memset(&audio, 0x5a, sizeof audio);
        int nRet = ruxoImportSdpInternal(fp, pVideo, pAudio, iDst);
        fclose(fp);
        FUZZ_CHECK(nRet == 0 || nRet == 1, "result " + std::to_string(nRet));
        if (pVideo == nullptr || pAudio == nullptr)
            continue;
        checkStreams(video, audio);

        /* Written back from the side it was read into, and read again. */
        char* pOut = nullptr;
        size_t cbOut = 0;
        FILE* fpOut = open_memstream(&pOut, &cbOut);
        FUZZ_CHECK(fpOut != nullptr, "open_memstream");
        ruxoExportSdpInternal(fpOut, &video, &audio, iDst ? 0 : 1);
        fclose(fpOut);
        FILE* fpAgain = fmemopen(pOut, cbOut, "r");
        if (fpAgain != nullptr) {
            RUXO_VIDEO_STREAM video2;
            RUXO_AUDIO_STREAM audio2;
            ruxoImportSdpInternal(fpAgain, &video2, &audio2, iDst);
            fclose(fpAgain);
            checkStreams(video2, audio2);
        }
        free(pOut);
    }
    return 0;
}
