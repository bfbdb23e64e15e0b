/* transcoder_args.cpp -- reading, splitting and adapting the command line of the stand-in
 * transcoder "ruxod.so" (see transcoder_args.h for the rules). */
#include "transcoder_args.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "ruxo_text_core.h"

int ruxoTcReadLine(int fd, std::string& strLine, std::string& strErr)
{
    strLine.clear();
    for (;;) {
        char c;
        ssize_t nRead = read(fd, &c, 1);
        if (nRead < 0) {
            if (errno == EINTR)
                continue;
            strErr = std::string("reading standard input failed: ") + strerror(errno);
            return RUXO_TC_ERR_READ;
        }
        if (nRead == 0) {
            strErr = "standard input ended before the end of the command line";
            return RUXO_TC_ERR_EOF;
        }
        if (c == '\n')
            return RUXO_TC_OK;
        if (strLine.size() >= RUXO_TC_LINE_MAX) {
            strErr = "command line longer than " + std::to_string(RUXO_TC_LINE_MAX) + " bytes";
            return RUXO_TC_ERR_TOO_LONG;
        }
        strLine.push_back(c);
    }
}

int ruxoTcSplitArgs(const std::string& strText, std::vector<RUXO_TC_ARG>& vArgs, std::string& strErr)
{
    vArgs.clear();
    RUXO_TC_ARG arg{std::string(), false};
    bool bInArg = false; /* an argument has begun, possibly an empty quoted one */
    char cQuote = 0;     /* the open quote character, or 0 */
    for (size_t i = 0; i < strText.size(); i++) {
        char c = strText[i];
        if (c == '\0') {
            strErr = "command line holds a NUL byte at offset " + std::to_string(i);
            return RUXO_TC_ERR_NUL;
        }
        if (cQuote) {
            if (c == cQuote)
                cQuote = 0;
            else
                arg.strText.push_back(c);
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            if (bInArg) {
                vArgs.push_back(arg);
                arg.strText.clear();
                arg.bQuoted = false;
                bInArg = false;
            }
            continue;
        }
        bInArg = true;
        if (c == '"' || c == '\'') {
            cQuote = c;
            arg.bQuoted = true;
        } else {
            arg.strText.push_back(c);
        }
    }
    if (cQuote) {
        strErr = std::string("command line has an unterminated ") + (cQuote == '"' ? "double" : "single") + " quote";
        return RUXO_TC_ERR_QUOTE;
    }
    if (bInArg)
        vArgs.push_back(arg);
    return RUXO_TC_OK;
}

/* vIn[i] is the name of an output that ffmpeg is to serve rather than push. */
static bool _isServedOutput(const std::vector<RUXO_TC_ARG>& vIn, size_t i)
{
    if (i < 2 || vIn[i].bQuoted || vIn[i - 2].strText != "-f")
        return false;
    const std::string& strFormat = vIn[i - 1].strText;
    if (ruxoStrCaseCmp(strFormat.c_str(), "mpegts") != 0 && ruxoStrCaseCmp(strFormat.c_str(), "mp4") != 0 &&
        ruxoStrCaseCmp(strFormat.c_str(), "mjpeg") != 0)
        return false;
    return ruxoStartsNoCase(vIn[i].strText, "http://") || ruxoStartsNoCase(vIn[i].strText, "https://");
}

/* A local session-description file: ends in ".sdp" and names no URL other than "file:". A URL
 * fetched over the network keeps ffmpeg's own whitelist, which allows its scheme. */
static bool _isLocalSdp(const std::string& strName)
{
    if (!ruxoEndsNoCase(strName, ".sdp"))
        return false;
    return strName.find("://") == std::string::npos || ruxoStartsNoCase(strName, "file:");
}

static bool _hasOption(const std::vector<RUXO_TC_ARG>& vArgs, size_t iFrom, const char* szOpt)
{
    for (size_t i = iFrom; i < vArgs.size(); i++)
        if (vArgs[i].strText == szOpt)
            return true;
    return false;
}

static RUXO_TC_ARG _plainArg(const char* szText)
{
    return RUXO_TC_ARG{std::string(szText), false};
}

void ruxoTcRewriteArgs(std::vector<RUXO_TC_ARG>& vArgs, std::vector<std::string>* pvServed)
{
    if (pvServed)
        pvServed->clear();
    std::vector<RUXO_TC_ARG> vOut;
    vOut.reserve(vArgs.size() + 8);
    size_t iGroup = 0; /* in vOut: first option of the current input or output */
    for (size_t i = 0; i < vArgs.size(); i++) {
        const RUXO_TC_ARG& arg = vArgs[i];
        if (arg.strText == "-i" && i + 1 < vArgs.size()) {
            if (_isLocalSdp(vArgs[i + 1].strText) && !_hasOption(vOut, iGroup, "-protocol_whitelist")) {
                vOut.push_back(_plainArg("-protocol_whitelist"));
                vOut.push_back(_plainArg("file,rtp,udp"));
            }
            vOut.push_back(arg);
            vOut.push_back(vArgs[++i]);
            iGroup = vOut.size();
            continue;
        }
        if (_isServedOutput(vArgs, i)) {
            if (ruxoStartsNoCase(arg.strText, "https://")) {
                /* The last pair wins: the certificate item is the last thing of the option string. */
                for (size_t j = vOut.size(); j >= iGroup + 4; j--) {
                    if (vOut[j - 4].strText == "-user_agent" && vOut[j - 2].strText == "-referer") {
                        vOut[j - 4].strText = "-cert_file";
                        vOut[j - 2].strText = "-key_file";
                        break;
                    }
                }
            }
            vOut.push_back(_plainArg("-listen"));
            vOut.push_back(_plainArg("1"));
            vOut.push_back(arg);
            if (pvServed)
                pvServed->push_back(arg.strText);
            iGroup = vOut.size();
            continue;
        }
        vOut.push_back(arg);
    }
    vArgs.swap(vOut);
}

int ruxoTcMakeArgv(const std::string& strLine, std::vector<std::string>& vArgv, std::string& strErr,
                   std::vector<std::string>* pvServed)
{
    vArgv.clear();
    if (pvServed)
        pvServed->clear();
    size_t nTokenLen = strlen(RUXO_TC_TOKEN);
    if (strLine.compare(0, nTokenLen, RUXO_TC_TOKEN) != 0) {
        strErr = "the input does not begin with the access token";
        return RUXO_TC_ERR_TOKEN;
    }
    std::vector<RUXO_TC_ARG> vArgs;
    int nRet = ruxoTcSplitArgs(strLine.substr(nTokenLen), vArgs, strErr);
    if (nRet != RUXO_TC_OK)
        return nRet;
    ruxoTcRewriteArgs(vArgs, pvServed);
    vArgv.reserve(vArgs.size() + 2);
    vArgv.push_back("ffmpeg");
    vArgv.push_back("-nostdin");
    for (const RUXO_TC_ARG& arg : vArgs)
        vArgv.push_back(arg.strText);
    return RUXO_TC_OK;
}
