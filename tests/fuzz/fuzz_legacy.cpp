/* fuzz_legacy.cpp -- the legacy line-based configuration reader and the access-list file reader
 * on arbitrary files, and the rendering of what was read into the JSON configuration. Rules checked
 * beside the sanitizers: the rendering is always a configuration that the JSON reader accepts, and
 * it keeps the login password and the web port (a conversion that lost either would lock the owner
 * out or open the box); the counts stay within their tables. */
#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "ruxo_config.h"
#include "ruxo_legacy.h"

static int s_fdFile = -1;
static std::string s_strPath;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    /* A file in memory, opened by its /proc path as the readers open theirs. */
    s_fdFile = memfd_create("fuzz-legacy", MFD_CLOEXEC);
    if (s_fdFile < 0) {
        perror("memfd_create");
        abort();
    }
    s_strPath = "/proc/self/fd/" + std::to_string(s_fdFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(s_fdFile, 0) != 0 || pwrite(s_fdFile, data, size, 0) != (ssize_t)size) {
        perror("fuzz: memfd");
        abort();
    }
    int nBlocks = ruxoImportConfigXML(s_strPath.c_str());
    FUZZ_CHECK(nBlocks >= 0 && nBlocks <= RUXO_LEGACY_CHANNELS, "blocks " + std::to_string(nBlocks));

    const std::string strJson = ruxoRenderLegacyConfig();
    std::string strReason;
    cJSON* tree = ruxoBuildConfig(strJson.c_str(), strJson.size(), &strReason);
    FUZZ_CHECK(tree != nullptr, strReason + " in the rendering:\n" + strJson);
    const cJSON* jsonGlobal = jsonGetItem(tree, "global");
    FUZZ_CHECK(ruxoGetLoginPass(jsonGlobal) == g_globalSettings.szLoginPass, "the password changed");
    const int nPort = getJsonInt(jsonGlobal, "httpPort");
    FUZZ_CHECK(nPort == g_globalSettings.nPortHTTP || (g_globalSettings.nPortHTTP == 0 && nPort == 8888),
               "the web port changed");
    FUZZ_CHECK(jsonGetArraySize(jsonGetItem(tree, "channels")) <= RUXO_LEGACY_CHANNELS, "channels");
    cJSON_Delete(tree);

    int nEntries = ruxoReadAclFile(s_strPath.c_str());
    FUZZ_CHECK(nEntries >= 0 && nEntries <= RUXO_ACL_ENTRIES, "entries " + std::to_string(nEntries));
    for (int i = 0; i < nEntries; i++)
        FUZZ_CHECK(g_ipAcl[i].ip_begin <= g_ipAcl[i].ip_end, "a range that ends before it begins");
    return 0;
}
