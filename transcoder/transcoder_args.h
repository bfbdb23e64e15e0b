/* transcoder_args.h -- the input side of the stand-in transcoder "ruxod.so".
 *
 * The engine writes "quBra_6093 ", one FFmpeg-style command line and a newline to the transcoder's
 * standard input. These functions read that line, check the token, split the line into arguments
 * and adapt the arguments to stock ffmpeg, which must be told to serve an HTTP output instead of
 * pushing it, takes the HTTPS certificate and key under their own option names, and must be allowed
 * to open RTP and UDP for a local session-description file. transcoder.cpp then runs ffmpeg with
 * the result. Kept apart from main so that the rules can be tested in-process. */
#ifndef RUXO_TRANSCODER_ARGS_H
#define RUXO_TRANSCODER_ARGS_H

#include <string>
#include <vector>

#include "ruxo.h" /* the access token that the engine writes */

#define RUXO_TC_TOKEN RUXO_ACCESS_TOKEN " " /* what the line must begin with */
#define RUXO_TC_LINE_MAX (64 * 1024)        /* longest input line accepted, newline excluded */

/* Result codes of the functions below; each failure also fills the caller's message text. */
#define RUXO_TC_OK 0
#define RUXO_TC_ERR_READ -1     /* reading standard input failed */
#define RUXO_TC_ERR_EOF -2      /* input ended before the newline */
#define RUXO_TC_ERR_TOO_LONG -3 /* no newline within RUXO_TC_LINE_MAX bytes */
#define RUXO_TC_ERR_TOKEN -4    /* the line does not begin with RUXO_TC_TOKEN */
#define RUXO_TC_ERR_QUOTE -5    /* a double or single quote is not closed */
#define RUXO_TC_ERR_NUL -6      /* the line holds a NUL byte, which no argument can carry */

/* One argument as split from the line. bQuoted is set when any part of it stood inside quotes:
 * the engine writes the names it serves unquoted and the files and URLs it pushes to quoted, so
 * this tells a served output apart from a pushed one. */
typedef struct RUXO_TC_ARG_TAG {
    std::string strText;
    bool bQuoted;
} RUXO_TC_ARG;

/* Reads fd up to the first '\n' (not stored) into strLine, at most RUXO_TC_LINE_MAX bytes before
 * it. Reads byte by byte so that nothing after the newline is taken from the descriptor. */
int ruxoTcReadLine(int fd, std::string& strLine, std::string& strErr);

/* Splits a command line into arguments:
 *  - blanks, tabs and CRs separate arguments;
 *  - a double quote toggles quoting and is removed; inside it every character is literal;
 *  - outside double quotes a single quote likewise groups up to the next single quote and is
 *    removed, and inside it every character (a double quote too) is literal;
 *  - quoted text joins the unquoted text next to it into one argument; an empty quoted text
 *    ("" or '') standing alone is an empty argument;
 *  - backslashes have no special meaning anywhere.
 * A quote left open, or a NUL byte, is an error. */
int ruxoTcSplitArgs(const std::string& strText, std::vector<RUXO_TC_ARG>& vArgs, std::string& strErr);

/* Adapts split arguments to stock ffmpeg:
 *  - a served output, that is an unquoted name beginning with "http://" or "https://" standing
 *    right after "-f mpegts", "-f mp4" or "-f mjpeg", gets "-listen 1" right before it;
 *  - for a served "https://" output, the last "-user_agent <cert> -referer <key>" pair among its
 *    own options (after the previous input or served output) becomes "-cert_file <cert>
 *    -key_file <key>";
 *  - the "-i" of a local file ending in ".sdp" (any case; no URL scheme, or "file:") gets
 *    "-protocol_whitelist file,rtp,udp" before it, unless that input's own options set a
 *    whitelist already.
 * Everything else passes unchanged, option values such as "-hls_base_url http://..." included.
 * When pvServed is given it receives the name of every served output, in order. */
void ruxoTcRewriteArgs(std::vector<RUXO_TC_ARG>& vArgs, std::vector<std::string>* pvServed = nullptr);

/* The whole input side: checks the token of strLine, splits and rewrites the rest and fills
 * vArgv with "ffmpeg", "-nostdin" and the resulting arguments (and pvServed, when given, as
 * ruxoTcRewriteArgs does). */
int ruxoTcMakeArgv(const std::string& strLine, std::vector<std::string>& vArgv, std::string& strErr,
                   std::vector<std::string>* pvServed = nullptr);

#endif /* RUXO_TRANSCODER_ARGS_H */
