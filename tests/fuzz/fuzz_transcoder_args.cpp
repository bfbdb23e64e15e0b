/* fuzz_transcoder_args.cpp -- the stand-in transcoder's input side on arbitrary bytes: the line
 * reader on a file holding them, then the token check, the split and the rewrites for ffmpeg.
 * Rules checked beside the sanitizers: the reader keeps exactly the bytes before the first newline;
 * a line without quotes splits into its blank-separated words; every served output gets "-listen 1"
 * right before it. */
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "fuzz_support.h"
#include "transcoder_args.h"

static int s_fdInput = -1;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_fdInput = memfd_create("fuzz-input", MFD_CLOEXEC);
    if (s_fdInput < 0) {
        perror("memfd_create");
        abort();
    }
    return 0;
}

/* The words of a text without quotes, split at blanks, tabs and CRs. */
static std::vector<std::string> plainWords(const std::string& str)
{
    std::vector<std::string> v;
    std::string strWord;
    for (char c : str) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!strWord.empty())
                v.push_back(strWord);
            strWord.clear();
        } else {
            strWord += c;
        }
    }
    if (!strWord.empty())
        v.push_back(strWord);
    return v;
}

static void checkReader(const std::string& strData)
{
    if (ftruncate(s_fdInput, 0) != 0 ||
        pwrite(s_fdInput, strData.data(), strData.size(), 0) != (ssize_t)strData.size() ||
        lseek(s_fdInput, 0, SEEK_SET) != 0) {
        perror("fuzz: memfd");
        abort();
    }
    std::string strLine, strErr;
    int nRet = ruxoTcReadLine(s_fdInput, strLine, strErr);
    size_t nNewline = strData.find('\n');
    if (nNewline != std::string::npos && nNewline <= RUXO_TC_LINE_MAX) {
        FUZZ_CHECK(nRet == RUXO_TC_OK, strErr);
        FUZZ_CHECK(strLine == strData.substr(0, nNewline), "the line read");
        /* Nothing past the newline was taken from the descriptor. */
        FUZZ_CHECK(lseek(s_fdInput, 0, SEEK_CUR) == (off_t)nNewline + 1, "read past the newline");
    } else {
        FUZZ_CHECK(nRet == RUXO_TC_ERR_EOF || nRet == RUXO_TC_ERR_TOO_LONG, "a line without its newline");
        FUZZ_CHECK(!strErr.empty(), "a failure without a message");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string strData(reinterpret_cast<const char*>(data), size);
    checkReader(strData);

    /* The engine always writes the token: most inputs get it, so that the split and the rewrites
     * are reached; one in four stays as it came, to reach the token check. */
    std::string strLine = (size > 0 && data[0] % 4 == 0) ? strData.substr(1) : RUXO_TC_TOKEN + strData;
    std::vector<std::string> vArgv, vServed;
    std::string strErr;
    int nRet = ruxoTcMakeArgv(strLine, vArgv, strErr, &vServed);
    if (nRet != RUXO_TC_OK) {
        FUZZ_CHECK(!strErr.empty(), "a failure without a message");
        FUZZ_CHECK(vArgv.empty(), "arguments after a failure");
        return 0;
    }
    FUZZ_CHECK(vArgv.size() >= 2 && vArgv[0] == "ffmpeg" && vArgv[1] == "-nostdin", "the program and -nostdin");

    /* Every served output stands in the arguments right after "-listen 1", in order. */
    size_t iFrom = 2;
    for (const std::string& strServed : vServed) {
        size_t i = iFrom;
        while (i < vArgv.size() &&
               !(vArgv[i] == strServed && i >= 2 && vArgv[i - 2] == "-listen" && vArgv[i - 1] == "1"))
            i++;
        FUZZ_CHECK(i < vArgv.size(), "served output " + strServed + " without -listen 1");
        iFrom = i + 1;
    }

    /* Without quotes the split is plain: the words, in order. */
    const std::string strRest = strLine.substr(strlen(RUXO_TC_TOKEN));
    if (strRest.find_first_of("\"'") == std::string::npos) {
        std::vector<RUXO_TC_ARG> vArgs;
        FUZZ_CHECK(ruxoTcSplitArgs(strRest, vArgs, strErr) == RUXO_TC_OK, strErr);
        std::vector<std::string> vWords = plainWords(strRest);
        FUZZ_CHECK(vArgs.size() == vWords.size(), "word count");
        for (size_t i = 0; i < vWords.size(); i++)
            FUZZ_CHECK(vArgs[i].strText == vWords[i] && !vArgs[i].bQuoted, "word " + std::to_string(i));
    }
    return 0;
}
