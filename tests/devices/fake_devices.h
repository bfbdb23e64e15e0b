/* fake_devices.h -- what the fake DeckLink and NDI libraries of the tests share: the environment
 * variables that script them, the hooks through which a test reads what they saw, and their call
 * log. Both fakes are built from our own interface declarations (common/ruxo_device_api.h).
 *
 * RUXO_FAKE_DECKLINK  the devices, one a line: "FLAGS\tNAME\tMODE\tMODE...". FLAGS letters:
 *                     I has an input side, O an output side, A refuses the attributes interface,
 *                     H its handle cannot be read (the name comes from the display name, which the
 *                     fake gives as "dspn:" and the name), N neither can be read, M its display-mode
 *                     iterator cannot be had. MODE: "SIDE:CODE,WIDTH,HEIGHT,SCALE,DURATION,FIELD"
 *                     with SIDE i, o or b (both), CODE and FIELD four characters ("0" for an
 *                     unknown field dominance); CODE may also be "0x" and eight hexadecimal
 *                     digits. The text "noiterator" makes the factory return none.
 * RUXO_FAKE_NDI       first line: option words "noinit" (initialise fails), "nofinder" (no finder),
 *                     "notable" (no function table), "changing" (every wait reports a change),
 *                     "nolist" (no source list), "count=N" (the count reported, padded with
 *                     generated sources), "step=MS" (each wait sleeps at most MS milliseconds).
 *                     Then the sources, one a line: "NAME\tADDRESS"; "(null)" stands for a null
 *                     pointer.
 * RUXO_FAKE_LOG       a file that every call is appended to as well, one line per call. */
#ifndef RUXO_FAKE_DEVICES_H
#define RUXO_FAKE_DEVICES_H

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

extern "C" {
/* Objects (DeckLink) or finders and initialisations (NDI) not yet released. */
typedef int (*RuxoFakeLiveFunc)(void);
/* The call log since the last call, one call a line, as a malloc'd text that the caller frees;
 * reading it clears it. */
typedef char* (*RuxoFakeCallsFunc)(void);
}

namespace ruxofake {

/* The call log of one fake library. */
class CallLog {
public:
    void note(const std::string& strCall)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_strCalls += strCall + "\n";
        const char* szFile = getenv("RUXO_FAKE_LOG");
        if (szFile != nullptr && szFile[0] != '\0') {
            int fd = open(szFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                std::string strLine = strCall + "\n";
                ssize_t n = write(fd, strLine.data(), strLine.size());
                (void)n;
                close(fd);
            }
        }
    }
    char* take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        char* sz = strdup(m_strCalls.c_str());
        m_strCalls.clear();
        return sz;
    }

private:
    std::mutex m_lock;
    std::string m_strCalls;
};

/* sz cut at every cSep. */
inline std::vector<std::string> split(const std::string& str, char cSep)
{
    std::vector<std::string> parts;
    size_t nStart = 0;
    for (;;) {
        size_t nEnd = str.find(cSep, nStart);
        parts.push_back(str.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart));
        if (nEnd == std::string::npos)
            return parts;
        nStart = nEnd + 1;
    }
}

}  // namespace ruxofake

#endif
