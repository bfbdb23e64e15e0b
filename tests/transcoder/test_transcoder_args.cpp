/* test_transcoder_args.cpp -- the stand-in transcoder's input rules, in-process: reading the line,
 * the token check, the argument splitting and the rewrites for stock ffmpeg, as tables of input
 * lines and the ffmpeg argument lists they must give. */
#include "transcoder_args.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Args;

struct LineCase {
    const char* szName;
    std::string strLine; /* after the token */
    Args vExpected;      /* after "ffmpeg -nostdin" */
};

/* Keeps ctest's list of cases readable. */
void PrintTo(const LineCase& c, std::ostream* pOut)
{
    *pOut << c.szName;
}

Args makeArgv(const std::string& strLine, int* pnRet = nullptr, std::string* pstrErr = nullptr)
{
    std::vector<std::string> vArgv;
    std::string strErr;
    int nRet = ruxoTcMakeArgv(RUXO_TC_TOKEN + strLine, vArgv, strErr);
    if (pnRet)
        *pnRet = nRet;
    if (pstrErr)
        *pstrErr = strErr;
    return vArgv;
}

Args withPrefix(const Args& v)
{
    Args vAll = {"ffmpeg", "-nostdin"};
    vAll.insert(vAll.end(), v.begin(), v.end());
    return vAll;
}

const std::vector<LineCase>& splitCases()
{
    static const std::vector<LineCase> s_cases = {
        {"shell_single_quotes",
         "-metadata service_name='My TV' -metadata service_provider='A B' ",
         {"-metadata", "service_name=My TV", "-metadata", "service_provider=A B"}},
        {"empty_double_quoted",
         "-user_agent \"\" -referer \"\" -y \"\" ",
         {"-user_agent", "", "-referer", "", "-y", ""}},
        {"empty_single_quoted", "-a '' -b", {"-a", "", "-b"}},
        {"filter_chain_literal",
         "-filter:v \"[in] scale=1280\\:720, drawtext=text='it''s':fontfile=C\\\\f.ttf [out]\" -an ",
         {"-filter:v", "[in] scale=1280\\:720, drawtext=text='it''s':fontfile=C\\\\f.ttf [out]", "-an"}},
        {"quotes_join_neighbours", "a\"b c\"d x'y z'w \"p\"'q'", {"ab cd", "xy zw", "pq"}},
        {"double_quote_inside_single", "'say \"hi\"' \"it's\"", {"say \"hi\"", "it's"}},
        {"blanks_tabs_crs_separate", "  -v\t32 \r-i\t\t\"/m/a b.mp4\"   \r", {"-v", "32", "-i", "/m/a b.mp4"}},
        {"backslash_outside_quotes_literal", "-x a\\ b", {"-x", "a\\", "b"}},
        {"nothing_after_token", "", {}},
        {"only_blanks_after_token", "   \t ", {}},
    };
    return s_cases;
}

const std::vector<LineCase>& rewriteCases()
{
    static const std::vector<LineCase> s_cases = {
        {"http_mpegts_served",
         "-v 32 -re -i \"/media/a.mp4\" -c:a aac -c:v libx264 -crf 23 -pix_fmt yuv420p -preset:v faster "
         "-c:s copy -f mpegts http://0.0.0.0:8080/live.ts ",
         {"-v",
          "32",
          "-re",
          "-i",
          "/media/a.mp4",
          "-c:a",
          "aac",
          "-c:v",
          "libx264",
          "-crf",
          "23",
          "-pix_fmt",
          "yuv420p",
          "-preset:v",
          "faster",
          "-c:s",
          "copy",
          "-f",
          "mpegts",
          "-listen",
          "1",
          "http://0.0.0.0:8080/live.ts"}},
        {"https_preview_cert_and_key",
         "-c:v h264_qsv -stream_loop -1 -i \"/m/a.mp4\" -c:a aac -c:v libx264 -crf 23 -s 320x240 -g 5 "
         "-sc_threshold 0 -map 0:0 -user_agent \"/etc/ruxod/c.pem\" -referer \"/etc/ruxod/k.pem\" "
         "-pix_fmt yuv420p -preset:v faster -movflags dash -f mp4 https://0.0.0.0:9527/1.mp4 ",
         {"-c:v",
          "h264_qsv",
          "-stream_loop",
          "-1",
          "-i",
          "/m/a.mp4",
          "-c:a",
          "aac",
          "-c:v",
          "libx264",
          "-crf",
          "23",
          "-s",
          "320x240",
          "-g",
          "5",
          "-sc_threshold",
          "0",
          "-map",
          "0:0",
          "-cert_file",
          "/etc/ruxod/c.pem",
          "-key_file",
          "/etc/ruxod/k.pem",
          "-pix_fmt",
          "yuv420p",
          "-preset:v",
          "faster",
          "-movflags",
          "dash",
          "-f",
          "mp4",
          "-listen",
          "1",
          "https://0.0.0.0:9527/1.mp4"}},
        {"http_preview_mp4",
         "-i \"a\" -movflags dash -f mp4 http://0.0.0.0:9527/3.mp4 ",
         {"-i", "a", "-movflags", "dash", "-f", "mp4", "-listen", "1", "http://0.0.0.0:9527/3.mp4"}},
        {"mjpeg_served",
         "-i \"a\" -c:v mjpeg -f mjpeg http://0.0.0.0:1234/2.mjpg ",
         {"-i", "a", "-c:v", "mjpeg", "-f", "mjpeg", "-listen", "1", "http://0.0.0.0:1234/2.mjpg"}},
        {"https_empty_cert_pair",
         "-i a -user_agent \"\" -referer \"\" -f mpegts https://0.0.0.0:8443/x.ts",
         {"-i", "a", "-cert_file", "", "-key_file", "", "-f", "mpegts", "-listen", "1", "https://0.0.0.0:8443/x.ts"}},
        {"hls_base_url_left_alone",
         "-i a -hls_base_url http://cdn.example/live/ -hls_time 4 -f hls -y \"/var/www/live.m3u8\" ",
         {"-i", "a", "-hls_base_url", "http://cdn.example/live/", "-hls_time", "4", "-f", "hls", "-y",
          "/var/www/live.m3u8"}},
        {"http_input_left_alone",
         "-f mpegts -i http://192.0.2.1:8000/in.ts -f mpegts udp://239.0.0.1:5000 ",
         {"-f", "mpegts", "-i", "http://192.0.2.1:8000/in.ts", "-f", "mpegts", "udp://239.0.0.1:5000"}},
        {"file_target_pushing_to_url",
         "-i a -f mpegts \"http://192.0.2.5/upload.ts\" -user_agent \"c\" -referer \"k\" -f mp4 "
         "\"https://192.0.2.5/up.mp4\" ",
         {"-i", "a", "-f", "mpegts", "http://192.0.2.5/upload.ts", "-user_agent", "c", "-referer", "k", "-f", "mp4",
          "https://192.0.2.5/up.mp4"}},
        {"other_formats_not_served",
         "-i a -f flv \"rtmp://s/live/x\" -f mpegts srt://192.0.2.1:9000 "
         "-f hls http://192.0.2.1/x.m3u8",
         {"-i", "a", "-f", "flv", "rtmp://s/live/x", "-f", "mpegts", "srt://192.0.2.1:9000", "-f", "hls",
          "http://192.0.2.1/x.m3u8"}},
        /* A pair belongs to the served output it precedes, never to a later one. */
        {"pair_per_served_output",
         "-i a -user_agent \"c1\" -referer \"k1\" -f mpegts https://0.0.0.0:1/1.ts "
         "-f mpegts https://0.0.0.0:2/2.ts -user_agent UA -referer R -f mpegts http://0.0.0.0:3/3.ts ",
         {"-i",
          "a",
          "-cert_file",
          "c1",
          "-key_file",
          "k1",
          "-f",
          "mpegts",
          "-listen",
          "1",
          "https://0.0.0.0:1/1.ts",
          "-f",
          "mpegts",
          "-listen",
          "1",
          "https://0.0.0.0:2/2.ts",
          "-user_agent",
          "UA",
          "-referer",
          "R",
          "-f",
          "mpegts",
          "-listen",
          "1",
          "http://0.0.0.0:3/3.ts"}},
        /* The certificate item comes last in the option string: a user's own pair before it stays. */
        {"last_pair_is_the_certificate",
         "-i a -user_agent UA -referer R -metadata x=1 -user_agent \"c\" -referer \"k\" -f mpegts "
         "https://0.0.0.0:1/1.ts",
         {"-i", "a", "-user_agent", "UA", "-referer", "R", "-metadata", "x=1", "-cert_file", "c", "-key_file", "k",
          "-f", "mpegts", "-listen", "1", "https://0.0.0.0:1/1.ts"}},
        {"pair_of_input_not_taken",
         "-user_agent UA -referer R -i http://192.0.2.1/in.ts -f mpegts https://0.0.0.0:1/1.ts",
         {"-user_agent", "UA", "-referer", "R", "-i", "http://192.0.2.1/in.ts", "-f", "mpegts", "-listen", "1",
          "https://0.0.0.0:1/1.ts"}},
        {"sdp_input_whitelisted",
         "-v 32 -i \"/var/ruxod/log/ruxo_001_in.sdp\" -c:v copy -f flv \"rtmp://s/a\" ",
         {"-v", "32", "-protocol_whitelist", "file,rtp,udp", "-i", "/var/ruxod/log/ruxo_001_in.sdp", "-c:v", "copy",
          "-f", "flv", "rtmp://s/a"}},
        {"sdp_second_input_any_case",
         "-re -i \"a.mp4\" -i \"/tmp/B.SDP\" -y \"o.ts\"",
         {"-re", "-i", "a.mp4", "-protocol_whitelist", "file,rtp,udp", "-i", "/tmp/B.SDP", "-y", "o.ts"}},
        {"sdp_file_url_whitelisted",
         "-i file:/tmp/a.sdp -y o.ts",
         {"-protocol_whitelist", "file,rtp,udp", "-i", "file:/tmp/a.sdp", "-y", "o.ts"}},
        {"sdp_over_network_left_alone",
         "-i \"http://192.0.2.1/cam.sdp\" -y o.ts",
         {"-i", "http://192.0.2.1/cam.sdp", "-y", "o.ts"}},
        {"sdp_own_whitelist_kept",
         "-protocol_whitelist file,udp,rtp,crypto -i \"/tmp/a.sdp\" -y o.ts",
         {"-protocol_whitelist", "file,udp,rtp,crypto", "-i", "/tmp/a.sdp", "-y", "o.ts"}},
        {"whitelist_of_other_input_ignored",
         "-protocol_whitelist file -i x.mp4 -i y.sdp -y o.ts",
         {"-protocol_whitelist", "file", "-i", "x.mp4", "-protocol_whitelist", "file,rtp,udp", "-i", "y.sdp", "-y",
          "o.ts"}},
        {"sdp_output_file_untouched",
         "-i a -an -f rtp rtp://192.0.2.20:502 -sdp_file \"/v/log/ruxo_001_out.sdp\"",
         {"-i", "a", "-an", "-f", "rtp", "rtp://192.0.2.20:502", "-sdp_file", "/v/log/ruxo_001_out.sdp"}},
    };
    return s_cases;
}

class LineTable : public ::testing::TestWithParam<LineCase> {};

/* The served outputs reported to the caller (which starts the client-wait notices for them) are
 * exactly the names that got "-listen 1", in order (none for the splitting cases). */
TEST_P(LineTable, GivesArguments)
{
    int nRet = -100;
    std::string strErr;
    Args v = makeArgv(GetParam().strLine, &nRet, &strErr);
    ASSERT_EQ(nRet, RUXO_TC_OK) << strErr;
    EXPECT_EQ(v, withPrefix(GetParam().vExpected));

    Args vServedWanted;
    const Args& vExp = GetParam().vExpected;
    for (size_t i = 0; i + 2 < vExp.size(); i++)
        if (vExp[i] == "-listen" && vExp[i + 1] == "1")
            vServedWanted.push_back(vExp[i + 2]);
    Args vArgv, vServed = {"stale"};
    ASSERT_EQ(ruxoTcMakeArgv(RUXO_TC_TOKEN + GetParam().strLine, vArgv, strErr, &vServed), RUXO_TC_OK);
    EXPECT_EQ(vServed, vServedWanted);
}

std::string caseName(const ::testing::TestParamInfo<LineCase>& info)
{
    return info.param.szName;
}

INSTANTIATE_TEST_SUITE_P(Split, LineTable, ::testing::ValuesIn(splitCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Rewrite, LineTable, ::testing::ValuesIn(rewriteCases()), caseName);

TEST(TranscoderArgs, QuotedFlagMarksAnyQuotedPart)
{
    std::vector<RUXO_TC_ARG> v;
    std::string strErr;
    ASSERT_EQ(ruxoTcSplitArgs("plain a\"b\" '' x", v, strErr), RUXO_TC_OK);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_FALSE(v[0].bQuoted);
    EXPECT_TRUE(v[1].bQuoted);
    EXPECT_TRUE(v[2].bQuoted);
    EXPECT_EQ(v[2].strText, "");
    EXPECT_FALSE(v[3].bQuoted);
}

TEST(TranscoderArgs, BadLinesAreRefused)
{
    struct Bad {
        std::string strLine; /* whole line, token included */
        int nRet;
        const char* szMessagePart;
    };
    const std::vector<Bad> vBad = {
        {"", RUXO_TC_ERR_TOKEN, "access token"},
        {"quBra_6093", RUXO_TC_ERR_TOKEN, "access token"},
        {"quBra_6093\t-i a", RUXO_TC_ERR_TOKEN, "access token"},
        {" quBra_6093 -i a", RUXO_TC_ERR_TOKEN, "access token"},
        {"qubra_6093 -i a", RUXO_TC_ERR_TOKEN, "access token"},
        {"quBra_6094 -i a", RUXO_TC_ERR_TOKEN, "access token"},
        {"-i a -f mpegts http://x/1.ts", RUXO_TC_ERR_TOKEN, "access token"},
        {"quBra_6093 -filter:v \"[in] scale=1 [out] -an", RUXO_TC_ERR_QUOTE, "double quote"},
        {"quBra_6093 -metadata title=Bob's -an", RUXO_TC_ERR_QUOTE, "single quote"},
        {std::string("quBra_6093 -i a\0b", 17), RUXO_TC_ERR_NUL, "NUL"},
    };
    for (const Bad& bad : vBad) {
        std::vector<std::string> v;
        std::string strErr;
        EXPECT_EQ(ruxoTcMakeArgv(bad.strLine, v, strErr), bad.nRet) << bad.strLine;
        EXPECT_NE(strErr.find(bad.szMessagePart), std::string::npos) << bad.strLine << ": " << strErr;
    }
}

/* Returns a descriptor positioned at the start of an anonymous file holding strData (a file and
 * not a pipe, so that inputs beyond a pipe's capacity need no second thread). */
int inputWith(const std::string& strData)
{
    int fd = memfd_create("ruxo-test-input", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t nDone = 0;
    while (nDone < strData.size()) {
        ssize_t n = write(fd, strData.data() + nDone, strData.size() - nDone);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        nDone += (size_t)n;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(TranscoderReadLine, StopsAtTheFirstNewline)
{
    int fd = inputWith("quBra_6093 -i a \r\nrest of input");
    ASSERT_GE(fd, 0);
    std::string strLine, strErr;
    ASSERT_EQ(ruxoTcReadLine(fd, strLine, strErr), RUXO_TC_OK) << strErr;
    EXPECT_EQ(strLine, "quBra_6093 -i a \r");
    char acRest[32] = {0};
    EXPECT_EQ(read(fd, acRest, sizeof(acRest) - 1), 13); /* nothing after the newline was taken */
    EXPECT_STREQ(acRest, "rest of input");
    close(fd);
}

TEST(TranscoderReadLine, EndOfInputAndLengthAreErrors)
{
    struct ReadCase {
        std::string strData;
        int nRet;
    };
    const std::vector<ReadCase> vCases = {
        {"", RUXO_TC_ERR_EOF},
        {"quBra_6093 -i a", RUXO_TC_ERR_EOF},
        {std::string(RUXO_TC_LINE_MAX, 'x') + "\n", RUXO_TC_OK},
        {std::string(RUXO_TC_LINE_MAX + 1, 'x') + "\n", RUXO_TC_ERR_TOO_LONG},
    };
    for (const ReadCase& rc : vCases) {
        int fd = inputWith(rc.strData);
        ASSERT_GE(fd, 0);
        std::string strLine, strErr;
        EXPECT_EQ(ruxoTcReadLine(fd, strLine, strErr), rc.nRet) << rc.strData.size();
        if (rc.nRet != RUXO_TC_OK) {
            EXPECT_FALSE(strErr.empty());
        }
        close(fd);
    }
}

}  // namespace
