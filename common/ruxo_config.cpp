/* ruxo_config.cpp -- the JSON configuration: the tree g_jsonConfig, its reading rules and member
 * edits, its replacement from text (defaults, channel validation, caps), the start-up load (with
 * the access-list file beside it) and the save, and the copies of settings that other modules ask
 * for (the web server's through its provider, the daemon's).
 *
 * Every function here that reaches the tree through g_jsonConfig holds g_configLock (recursive, so
 * a caller that already holds it may call in). The reading rules and the channel check work on the
 * item they are handed, which is only valid while the caller holds the lock. Lock order: web mutex
 * -> g_configLock -> engine mutex -> log mutex.
 * Keys match ignoring the case of ASCII letters only, so a locale taken from the environment (a
 * Turkish one, say) never changes which member a key names. */
#include "ruxo_config.h"

#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "ruxo_legacy.h"
#include "ruxo_text_core.h"
#include "ruxo_vocab.h"

cJSON* g_jsonConfig = NULL;
std::recursive_mutex g_configLock;
std::string g_tszfnConfig;
std::string g_tszfnAcl;

namespace {

/* Set when a configuration file that exists could not be loaded at start-up: the file is kept as
 * it is, so no save may replace it until a configuration has been accepted. */
bool s_bLoadFailed = false;

/* Replacements of the tree so far (ruxoConfigGeneration); changed under g_configLock, read
 * without it by a caller that holds the lock already. */
std::atomic<unsigned long> s_ulGeneration{0};

/* The valid channel list of one tree (ruxoValidChannels), with the tree and the generation it was
 * built for. */
struct VALID_CHANNELS {
    bool bBuilt = false;
    unsigned long ulGeneration = 0;
    const cJSON* jsonTree = NULL;
    std::vector<cJSON*> channels;
};
VALID_CHANNELS s_validChannels;

/* Why the start-up load left no tree, naming the file; empty when nothing was recorded, and
 * cleared when a tree is installed. */
std::string s_strNoTreeReason;

typedef std::lock_guard<std::recursive_mutex> ConfigGuard;

/* cJSON_IsObject and its kin without a call into the library: the lookups below run for every
 * channel of every status reply and supervision step. */
inline bool isJsonType(const cJSON* item, int nType)
{
    return item != NULL && (item->type & 0xFF) == nType;
}

bool asciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* A decimal integer at the start of a text: white space skipped, an optional sign, the digits up to
 * the first other character; no digits read 0; held to the range of int. */
int parseDecimal(const char* sz)
{
    if (sz == NULL)
        return 0;
    while (asciiSpace(*sz))
        sz++;
    bool bNegative = false;
    if (*sz == '+' || *sz == '-')
        bNegative = (*sz++ == '-');
    long long llValue = 0;
    for (; *sz >= '0' && *sz <= '9'; sz++) {
        if (llValue <= (long long)INT_MAX + 1)
            llValue = llValue * 10 + (*sz - '0');
    }
    if (bNegative)
        llValue = -llValue;
    if (llValue > INT_MAX)
        return INT_MAX;
    if (llValue < INT_MIN)
        return INT_MIN;
    return (int)llValue;
}

/* Channels in the current tree (0 without a tree). */
int channelCount(void)
{
    return jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels"));
}

/* File-local checks of a channel's first source and first target. */
BOOL isRTPInputValid(const cJSON* jsonSource)
{
    switch (ruxoGetVideoCodecId(jsonGetText(jsonGetItem(jsonSource, "video"), "codec"))) {
    case RUXO_VIDEO_H263:
    case RUXO_VIDEO_H263P:
    case RUXO_VIDEO_MP1:
    case RUXO_VIDEO_MP2:
    case RUXO_VIDEO_MP4:
    case RUXO_VIDEO_H264:
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL isOutputValid(const cJSON* jsonTarget)
{
    if (jsonTarget == NULL)
        return FALSE;
    int nVideo = ruxoGetVideoCodecId(jsonGetText(jsonGetItem(jsonTarget, "video"), "codec"));
    if (nVideo >= RUXO_VIDEO_H263 && nVideo <= RUXO_VIDEO_COPY)
        return TRUE;
    int nAudio = ruxoGetAudioCodecId(jsonGetText(jsonGetItem(jsonTarget, "audio"), "codec"));
    return nAudio >= RUXO_AUDIO_G711U && nAudio <= RUXO_AUDIO_COPY && nAudio != RUXO_AUDIO_AMR;
}

/* Deletes up to nCount items of an array, starting with the item at position nFirst, in one pass
 * (a posted text may hold hundreds of thousands of items: no walk from the start per item). */
void deleteArrayItems(cJSON* jsonArray, int nFirst, int nCount)
{
    cJSON* item = jsonGetArrayItem(jsonArray, nFirst);
    for (; item != NULL && nCount > 0; nCount--) {
        cJSON* next = item->next;
        cJSON_Delete(cJSON_DetachItemViaPointer(jsonArray, item));
        item = next;
    }
}

/* Deletes the items of an array from position nKeep on. */
void trimArray(cJSON* jsonArray, int nKeep)
{
    deleteArrayItems(jsonArray, nKeep, INT_MAX);
}

void addNumberDefault(cJSON* jsonGlobal, const char* szKey, double dValue)
{
    if (!jsonHasItem(jsonGlobal, szKey))
        cJSON_AddNumberToObject(jsonGlobal, szKey, dValue);
}

/* A configuration the daemon writes prints to a few hundred kilobytes; a larger file is no
 * configuration (a sparse or runaway file must not take the memory of the start-up). */
const uintmax_t RUXO_CONFIG_FILE_MAX = 64u * 1024 * 1024;

/* What reading a configuration file found. */
enum LoadResult { LOAD_DONE, LOAD_MISSING, LOAD_FAILED };

/* Reads a whole file that is open for reading into a NUL-terminated buffer; false with errno. */
bool readWholeFile(int fd, size_t cbFile, std::string* pstrText)
{
    pstrText->resize(cbFile);
    size_t cbRead = 0;
    while (cbRead < cbFile) {
        ssize_t n = read(fd, &(*pstrText)[cbRead], cbFile - cbRead);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;  // the file shrank meanwhile: what is there is the text
        cbRead += (size_t)n;
    }
    pstrText->resize(cbRead);
    return true;
}

/* Reads and installs a configuration file; *pnChannels gets the channel count of the tree after
 * the text was handed over (0 when nothing was read). Only a regular file is read, and it is
 * opened without blocking, so a named pipe or a device at the path cannot hold the start-up. A
 * failure leaves its reason in *pstrReason. */
LoadResult loadConfigFile(LPCTSTR tszfnConfig, int* pnChannels, std::string* pstrReason = NULL)
{
    std::string strReason;
    LoadResult result = LOAD_FAILED;
    *pnChannels = 0;
    int fd = tszfnConfig != NULL ? open(tszfnConfig, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (tszfnConfig == NULL) {
        result = LOAD_MISSING;
        strReason = "no file named";
    } else if (fd < 0) {
        strReason = strerror(errno);
        // A link whose target is gone (an unmounted volume, say) exists: it is not a first start.
        struct stat stLink;
        if (errno == ENOENT && lstat(tszfnConfig, &stLink) != 0)
            result = LOAD_MISSING;
        else if (errno == ENOENT)
            strReason = "a link to a file that does not exist";
    } else {
        ruxoResetGlobalSettings();
        ruxoInitLocale();
        struct stat st;
        std::string strText;
        if (fstat(fd, &st) != 0) {
            strReason = strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            strReason = "not a regular file";
        } else if ((uintmax_t)st.st_size > RUXO_CONFIG_FILE_MAX) {
            strReason = "larger than " + std::to_string(RUXO_CONFIG_FILE_MAX) + " bytes";
        } else if (!readWholeFile(fd, (size_t)st.st_size, &strText)) {
            strReason = strerror(errno);
        } else if (strText.empty()) {
            strReason = "the file is empty";
        } else {
            cJSON* jsonNew = ruxoBuildConfig(strText.c_str(), strText.size(), &strReason);
            if (jsonNew != NULL) {
                ruxoInstallConfig(jsonNew);
                result = LOAD_DONE;
            }
            *pnChannels = channelCount();  // the new tree's, or the unchanged one's
        }
        close(fd);
    }
    if (pstrReason != NULL)
        *pstrReason = strReason;
    return result;
}

/* The directory part of a path, for syncing the folder after a rename. */
std::string folderOf(const std::string& strPath)
{
    size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos)
        return ".";
    if (nSlash == 0)
        return "/";
    return strPath.substr(0, nSlash);
}

/* Where a save writes: the path itself or, for a symbolic link, the file it names, resolved link
 * by link (a relative link against its own folder), also when that file does not exist yet, so a
 * save never replaces a link by a plain file. False with errno for a chain of more than 40 links. */
bool saveTarget(const std::string& strPath, std::string* pstrTarget)
{
    std::string strCur = strPath;
    for (int nLinks = 0; nLinks <= 40; nLinks++) {
        struct stat st;
        if (lstat(strCur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *pstrTarget = strCur;
            return true;
        }
        char szLink[PATH_MAX];
        ssize_t cch = readlink(strCur.c_str(), szLink, sizeof(szLink));
        if (cch < 0)
            return false;
        if ((size_t)cch >= sizeof(szLink)) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::string strLink(szLink, (size_t)cch);
        strCur = strLink[0] == '/' ? strLink : folderOf(strCur) + "/" + strLink;
    }
    errno = ELOOP;
    return false;
}

/* Replaces a file by new contents without ever losing the old ones: the text goes to "<file>.tmp"
 * in the same folder, is synced, takes the old file's mode and owner, and is renamed over the old
 * file; then the folder is synced. On a failure the temporary file is removed, the old file stays
 * as it was, a line is printed, the reason ("cannot write <file>: <error>") is left in *pstrReason
 * and -1 returned. Once the rename is done the file holds the new text: a folder that cannot be
 * synced then is only reported. */
int writeFileAtomic(const std::string& strPath, const std::string& strText, std::string* pstrReason)
{
    std::string strTarget;
    int fd = -1;
    bool bOk = saveTarget(strPath, &strTarget);
    if (!bOk)
        strTarget = strPath;
    std::string strTemp = strTarget + ".tmp";
    if (bOk) {
        struct stat stOld;
        bool bHaveOld = stat(strTarget.c_str(), &stOld) == 0;
        unlink(strTemp.c_str());  // a leftover of an earlier failed save
        fd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        bOk = fd >= 0;
        if (bOk && bHaveOld) {
            bOk = fchmod(fd, stOld.st_mode & 07777) == 0;
            struct stat stNew;
            if (bOk && fstat(fd, &stNew) == 0 && (stNew.st_uid != stOld.st_uid || stNew.st_gid != stOld.st_gid)) {
                bOk = fchown(fd, stOld.st_uid, stOld.st_gid) == 0;
                if (bOk)
                    bOk = fchmod(fd, stOld.st_mode & 07777) == 0;  // chown clears set-id bits
            }
        }
        if (bOk)
            bOk = writeAll(fd, strText.data(), strText.size());
        if (bOk)
            bOk = fsync(fd) == 0;
        if (fd >= 0) {
            int nSavedErrno = errno;
            if (close(fd) != 0 && bOk)
                bOk = false;
            else
                errno = nSavedErrno;
        }
        if (bOk)
            bOk = rename(strTemp.c_str(), strTarget.c_str()) == 0;
        if (!bOk && fd >= 0) {
            int nSavedErrno = errno;
            unlink(strTemp.c_str());
            errno = nSavedErrno;
        }
    }
    if (!bOk) {
        std::string strReason = "cannot write " + strTarget + ": " + strerror(errno);
        printf("Configuration not saved: %s\n", strReason.c_str());
        if (pstrReason != NULL)
            *pstrReason = strReason;
        return -1;
    }
    std::string strFolder = folderOf(strTarget);
    int fdDir = open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0 || fsync(fdDir) != 0) {
        printf("Configuration saved to %s, but its folder could not be synced: %s\n", strTarget.c_str(),
               strerror(errno));
    }
    if (fdDir >= 0)
        close(fdDir);
    return 0;
}

/* The one-time conversion of a first start: the legacy model (what the ".conf" file beside the
 * configuration holds, or its defaults when there is none) is rendered into the configuration file
 * and loaded again. Only once that tree stands is the legacy file moved aside to ".conf.converted"
 * (replacing an older one), so that what the conversion dropped can still be read. A legacy file
 * that cannot be read, of which nothing was understood (another encoding, random bytes, an empty
 * file), or a configuration file that cannot be written, keeps the legacy file as it is and leaves
 * no tree: writing the defaults instead would open the management to the network. */
void convertLegacyConfig(void)
{
    const std::string strLegacy = ruxoGetExPath(".conf");
    int nSettings = 0;
    int nBlocks = ruxoImportConfigXML(strLegacy.c_str(), &nSettings);
    if (nBlocks == RUXO_LEGACY_UNREADABLE) {
        // Its settings are not known, so writing the defaults would silently replace them.
        const std::string strError = strerror(errno);
        s_bLoadFailed = true;
        s_strNoTreeReason = "the legacy configuration file " + strLegacy + " cannot be read (" + strError + ")";
        printf(
            "Legacy configuration file %s cannot be read (%s); it is left unchanged and the daemon "
            "runs without a configuration until one is accepted\n",
            strLegacy.c_str(), strError.c_str());
        return;
    }
    if (nBlocks == 0 && nSettings == 0) {
        s_bLoadFailed = true;
        s_strNoTreeReason = "nothing in the legacy configuration file " + strLegacy + " could be understood";
        printf(
            "Nothing in the legacy configuration file %s could be understood (no setting, no channel "
            "block); it is left unchanged and the daemon runs without a configuration until one is "
            "accepted\n",
            strLegacy.c_str());
        return;
    }
    bool bLegacy = nBlocks >= 0;
    int nChannels = 0;
    bool bWritten = ruxoExportConfig(NULL) == 0;
    if (!bWritten || loadConfigFile(g_tszfnConfig.c_str(), &nChannels) != LOAD_DONE) {
        const char* szWhat = bWritten ? "could not be loaded again" : "could not be written";
        s_strNoTreeReason = "the configuration file " + g_tszfnConfig + " " + szWhat;
        printf("Configuration file %s %s; %s%sthe daemon runs without a configuration\n", g_tszfnConfig.c_str(), szWhat,
               bLegacy ? strLegacy.c_str() : "", bLegacy ? " is kept and " : "");
        return;
    }
    if (bLegacy) {
        const std::string strConverted = strLegacy + ".converted";
        if (rename(strLegacy.c_str(), strConverted.c_str()) != 0 && errno != ENOENT) {
            printf("Cannot rename the converted legacy configuration file %s to %s: %s\n", strLegacy.c_str(),
                   strConverted.c_str(), strerror(errno));
        }
    }
}

/* The access-list step of the start-up load: g_tszfnAcl becomes the configuration path with
 * ".acl" as its ending, and the legacy reader reads that file into its records. The caller holds
 * g_configLock. */
void loadAcl(void)
{
    g_tszfnAcl = ruxoGetExPath(".acl");
    if (ruxoReadAclFile(g_tszfnAcl.c_str()) == RUXO_LEGACY_UNREADABLE) {
        printf("Access-list file %s cannot be read: %s\n", g_tszfnAcl.c_str(), strerror(errno));
    }
}

}  // namespace

/* ---- ASCII lookups ---------------------------------------------------------------------------- */

cJSON* jsonGetItem(const cJSON* obj, const char* key)
{
    if (!isJsonType(obj, cJSON_Object) || key == NULL)
        return NULL;
    /* Keys that differ in their first letter are passed over without a compare. */
    int cFirst = ruxoAsciiLower((unsigned char)key[0]);
    for (cJSON* item = obj->child; item != NULL; item = item->next) {
        if (item->string != NULL && ruxoAsciiLower((unsigned char)item->string[0]) == cFirst &&
            ruxoStrCaseEqual(item->string, key))
            return item;
    }
    return NULL;
}

void jsonGetItemPair(const cJSON* obj, const char* key1, const char* key2, cJSON** ppItem1, cJSON** ppItem2)
{
    *ppItem1 = NULL;
    *ppItem2 = NULL;
    if (!isJsonType(obj, cJSON_Object) || key1 == NULL || key2 == NULL)
        return;
    int cFirst1 = ruxoAsciiLower((unsigned char)key1[0]), cFirst2 = ruxoAsciiLower((unsigned char)key2[0]);
    for (cJSON* item = obj->child; item != NULL && (*ppItem1 == NULL || *ppItem2 == NULL); item = item->next) {
        if (item->string == NULL)
            continue;
        int c = ruxoAsciiLower((unsigned char)item->string[0]);
        if (*ppItem1 == NULL && c == cFirst1 && ruxoStrCaseEqual(item->string, key1))
            *ppItem1 = item;
        if (*ppItem2 == NULL && c == cFirst2 && ruxoStrCaseEqual(item->string, key2))
            *ppItem2 = item;
    }
}

BOOL jsonHasItem(const cJSON* obj, const char* key)
{
    return jsonGetItem(obj, key) != NULL;
}

int jsonGetArraySize(const cJSON* arr)
{
    if (!isJsonType(arr, cJSON_Array))
        return 0;
    int n = 0;
    for (const cJSON* item = arr->child; item != NULL && n < INT_MAX; item = item->next)
        n++;
    return n;
}

cJSON* jsonGetArrayItem(const cJSON* arr, int idx)
{
    if (!isJsonType(arr, cJSON_Array) || idx < 0)
        return NULL;
    cJSON* item = arr->child;
    for (; item != NULL && idx > 0; idx--)
        item = item->next;
    return item;
}

/* ---- reading rules ---------------------------------------------------------------------------- */

int clampToInt(double d)
{
    if (isnan(d))
        return 0;
    if (d >= (double)INT_MAX)
        return INT_MAX;
    if (d <= (double)INT_MIN)
        return INT_MIN;
    return (int)d;
}

int getJsonInt(const cJSON* parent, const char* key)
{
    const cJSON* item = jsonGetItem(parent, key);
    if (isJsonType(item, cJSON_Number))
        return clampToInt(item->valuedouble);
    if (isJsonType(item, cJSON_String))
        return parseDecimal(item->valuestring);
    if (isJsonType(item, cJSON_True))
        return 1;
    return 0;
}

BOOL getJsonBool(const cJSON* parent, const char* key)
{
    return isJsonType(jsonGetItem(parent, key), cJSON_True) ? TRUE : FALSE;
}

const char* jsonItemText(const cJSON* item)
{
    if (isJsonType(item, cJSON_String) && item->valuestring != NULL)
        return item->valuestring;
    return "";
}

const char* jsonGetText(const cJSON* parent, const char* key)
{
    return jsonItemText(jsonGetItem(parent, key));
}

std::string getJsonString(const cJSON* parent, const char* key)
{
    return jsonGetText(parent, key);
}

double getJsonNumber(const cJSON* parent, const char* key)
{
    const cJSON* item = jsonGetItem(parent, key);
    if (item == NULL)
        return 0;
    if (cJSON_IsNumber(item))
        return item->valuedouble;
    return NAN;
}

std::vector<std::string> getJsonTexts(const cJSON* parent, const char* key)
{
    std::vector<std::string> texts;
    const cJSON* arr = jsonGetItem(parent, key);
    if (!cJSON_IsArray(arr))
        return texts;
    for (const cJSON* item = arr->child; item != NULL; item = item->next) {
        texts.push_back(cJSON_IsString(item) && item->valuestring ? item->valuestring : "");
    }
    return texts;
}

void ruxoInitLocale(void)
{
    static std::once_flag s_once;
    std::call_once(s_once, [] { setlocale(LC_ALL, ""); });
}

/* ---- edits ---------------------------------------------------------------------------------- */

bool jsonSetBool(cJSON* jsonObject, const char* szKey, bool bValue, bool bAddMissing)
{
    if (!cJSON_IsObject(jsonObject))
        return false;
    cJSON* jsonItem = jsonGetItem(jsonObject, szKey);
    if (jsonItem == NULL && !bAddMissing)
        return false;
    cJSON* jsonBool = cJSON_CreateBool(bValue ? 1 : 0);
    return jsonSetItem(jsonObject, szKey, jsonBool);
}

bool jsonSetItem(cJSON* jsonObject, const char* szKey, cJSON* jsonValue)
{
    if (jsonValue == NULL)
        return false;
    if (!cJSON_IsObject(jsonObject)) {
        cJSON_Delete(jsonValue);
        return false;
    }
    cJSON* jsonItem = jsonGetItem(jsonObject, szKey);
    bool bDone;
    if (jsonItem == NULL || jsonItem->string == NULL) {
        bDone = cJSON_AddItemToObject(jsonObject, szKey, jsonValue) != 0;
    } else {
        /* The first exact match of the item's own key is the item itself: an earlier one would
         * also have been the earlier case-insensitive match. */
        std::string strKey = jsonItem->string;
        bDone = cJSON_ReplaceItemInObjectCaseSensitive(jsonObject, strKey.c_str(), jsonValue) != 0;
    }
    if (!bDone)
        cJSON_Delete(jsonValue);
    return bDone;
}

/* ---- paths ------------------------------------------------------------------------------------ */

void ruxoSetConfigPath(LPCTSTR tszConfigPath)
{
    ConfigGuard guard(g_configLock);
    if (tszConfigPath == NULL)
        return;
    g_tszfnConfig = std::string(tszConfigPath) + "/ruxod.json";
}

std::string ruxoGetExPath(LPCTSTR tszExt)
{
    ConfigGuard guard(g_configLock);
    std::string strPath = g_tszfnConfig;
    size_t nDot = strPath.rfind('.');
    if (nDot != std::string::npos)
        strPath.erase(nDot);
    if (tszExt != NULL)
        strPath += tszExt;
    return strPath;
}

BOOL ruxoGetExPath(TCHAR* tszPath, size_t cchPath, LPCTSTR tszExt)
{
    if (tszPath == NULL || cchPath == 0)
        return FALSE;
    std::string strPath = ruxoGetExPath(tszExt);
    if (strPath.size() >= cchPath) {
        tszPath[0] = '\0';
        return FALSE;
    }
    memcpy(tszPath, strPath.c_str(), strPath.size() + 1);
    return TRUE;
}

/* ---- replacement, validation ------------------------------------------------------------------ */

BOOL isChannelValid(cJSON* jsonChannel)
{
    /* Each object is walked once for the members it is asked for (the status reply asks this of
     * every channel each time). */
    cJSON *jsonInput, *jsonOutput, *jsonFormat, *jsonUrl;
    jsonGetItemPair(jsonChannel, "input", "output", &jsonInput, &jsonOutput);
    cJSON* jsonSource = jsonGetArrayItem(jsonGetItem(jsonInput, "sources"), 0);
    cJSON* jsonTarget = jsonGetArrayItem(jsonGetItem(jsonOutput, "targets"), 0);
    jsonGetItemPair(jsonSource, "format", "url", &jsonFormat, &jsonUrl);
    if (ruxoGetFormatId(jsonItemText(jsonFormat)) == RUXO_FORMAT_RTP) {
        if (!isRTPInputValid(jsonSource))
            return FALSE;
    } else if (jsonItemText(jsonUrl)[0] == '\0') {
        return FALSE;
    }
    return isOutputValid(jsonTarget);
}

/* The text of a "loginPass" item: a string, or an integer number (at most 2^53 - 1 either way,
 * so the number is exact) as its decimal text; false for every other type. */
static bool loginPassText(const cJSON* item, std::string* pstrPass)
{
    if (cJSON_IsString(item) && item->valuestring != NULL) {
        *pstrPass = item->valuestring;
        return true;
    }
    if (!cJSON_IsNumber(item))
        return false;
    const double dValue = item->valuedouble;
    const double dExact = 9007199254740991.0;
    if (!(dValue >= -dExact && dValue <= dExact) || dValue != floor(dValue))
        return false;
    *pstrPass = std::to_string((long long)dValue);
    return true;
}

std::string ruxoGetLoginPass(const cJSON* jsonGlobal)
{
    std::string strPass;
    if (!loginPassText(jsonGetItem(jsonGlobal, "loginPass"), &strPass))
        strPass.clear();
    return strPass;
}

/* A number beyond the range of double ("1e400") is read as infinite, which the library saves as
 * null: the next load would read 0 where this one reads the largest int. Such a number becomes the
 * largest finite double of its sign, which reads the same and survives a save. */
static void clampInfiniteNumbers(cJSON* jsonTree)
{
    std::vector<cJSON*> pending(1, jsonTree);
    while (!pending.empty()) {
        cJSON* item = pending.back();
        pending.pop_back();
        for (; item != NULL; item = item->next) {
            if (cJSON_IsNumber(item) && isinf(item->valuedouble))
                cJSON_SetNumberHelper(item, item->valuedouble > 0 ? DBL_MAX : -DBL_MAX);
            if (item->child != NULL)
                pending.push_back(item->child);
        }
    }
}

/* An integer "loginPass" of 16 digits becomes its decimal text in the tree. The library saves
 * numbers with 15 significant digits, so such a one (9007199254740991) would come back as another
 * password after a save and a restart, and lock its owner out; a shorter one is saved exactly and
 * stays the number it was posted as. Its key keeps its spelling. */
static void keepPasswordAsText(cJSON* jsonGlobal)
{
    cJSON* jsonPass = jsonGetItem(jsonGlobal, "loginPass");
    std::string strPass;
    if (!cJSON_IsNumber(jsonPass) || fabs(jsonPass->valuedouble) < 1e15 || !loginPassText(jsonPass, &strPass))
        return;
    cJSON* jsonText = cJSON_CreateString(strPass.c_str());
    if (jsonText == NULL)
        return;  // out of memory: the number stays, which reads the same for now
    jsonText->string = jsonPass->string;
    jsonPass->string = NULL;
    cJSON_ReplaceItemViaPointer(jsonGlobal, jsonPass, jsonText);
}

/* The defaults of "global", the channel validation and the caps, applied to a new tree. */
static void completeConfig(cJSON* jsonNew)
{
    clampInfiniteNumbers(jsonNew);
    cJSON* jsonGlobal = jsonGetItem(jsonNew, "global");
    if (cJSON_IsObject(jsonGlobal)) {
        keepPasswordAsText(jsonGlobal);
        addNumberDefault(jsonGlobal, "log", 0);
        cJSON* jsonPort = jsonGetItem(jsonGlobal, "httpPort");
        if (jsonPort == NULL) {
            cJSON_AddNumberToObject(jsonGlobal, "httpPort", 8888);
        } else if (cJSON_IsNumber(jsonPort) && getJsonInt(jsonGlobal, "httpPort") == 0) {
            cJSON_SetNumberHelper(jsonPort, 8888);
        }
        addNumberDefault(jsonGlobal, "autoRestart", 1);
        addNumberDefault(jsonGlobal, "cpuPerChannel", 0);
    }

    cJSON* jsonChannels = jsonGetItem(jsonNew, "channels");
    if (cJSON_IsArray(jsonChannels)) {
        // One pass: invalid channels go wherever they stand, the others keep their order.
        int nKept = 0;
        cJSON* jsonChannel = jsonChannels->child;
        while (jsonChannel != NULL) {
            cJSON* jsonNext = jsonChannel->next;
            if (!isChannelValid(jsonChannel)) {
                cJSON_Delete(cJSON_DetachItemViaPointer(jsonChannels, jsonChannel));
            } else {
                trimArray(jsonGetItem(jsonGetItem(jsonChannel, "input"), "sources"), RUXO_MAX_RECORDS);
                trimArray(jsonGetItem(jsonGetItem(jsonChannel, "output"), "targets"), RUXO_MAX_RECORDS);
                if (nKept < INT_MAX)
                    nKept++;
            }
            jsonChannel = jsonNext;
        }
        // Above the cap, channels 0 to 15 (those with playlists and timers) and the last ones stay.
        if (nKept > RUXO_MAX_CHANNELS)
            deleteArrayItems(jsonChannels, 16, nKept - RUXO_MAX_CHANNELS);
    }
}

cJSON* ruxoBuildConfig(const char* szConfig, size_t cchConfig, std::string* pstrReason)
{
    std::string strReason;
    cJSON* jsonNew = NULL;
    if (szConfig == NULL) {
        strReason = "no text";
    } else if (memchr(szConfig, '\0', cchConfig) != NULL) {
        // JSON holds no raw NUL byte; cJSON would cut a string at one or take it for white space.
        strReason = "a NUL byte in the text";
    } else {
        // The length counts the terminating NUL, where the text must end: anything but white space
        // after the first value makes the whole text invalid. A byte-order mark is skipped.
        jsonNew = cJSON_ParseWithLengthOpts(szConfig, cchConfig + 1, NULL, 1);
        if (jsonNew == NULL) {
            cJSON* jsonLoose = cJSON_ParseWithLengthOpts(szConfig, cchConfig + 1, NULL, 0);
            strReason = jsonLoose != NULL ? "text after the JSON value" : "not valid JSON";
            cJSON_Delete(jsonLoose);
        } else if (!cJSON_IsObject(jsonNew)) {
            strReason = "the document is not a JSON object";
        } else {
            std::string strPass;
            const cJSON* jsonPass = jsonGetItem(jsonGetItem(jsonNew, "global"), "loginPass");
            if (jsonPass != NULL && !loginPassText(jsonPass, &strPass))
                strReason = "\"loginPass\" is neither a string nor an integer number";
        }
    }
    if (!strReason.empty()) {
        cJSON_Delete(jsonNew);
        if (pstrReason != NULL)
            *pstrReason = strReason;
        return NULL;
    }
    completeConfig(jsonNew);
    return jsonNew;
}

void ruxoInstallConfig(cJSON* jsonNew)
{
    if (jsonNew == NULL)
        return;
    ConfigGuard guard(g_configLock);
    if (g_jsonConfig != NULL && g_jsonConfig != jsonNew)
        cJSON_Delete(g_jsonConfig);
    g_jsonConfig = jsonNew;
    s_ulGeneration++;
    s_bLoadFailed = false;
    s_strNoTreeReason.clear();
}

cJSON* ruxoSetConfig(const char* szConfig)
{
    if (szConfig == NULL)
        return NULL;
    cJSON* jsonNew = ruxoBuildConfig(szConfig, strlen(szConfig), NULL);
    if (jsonNew == NULL)
        return NULL;
    ConfigGuard guard(g_configLock);
    ruxoInstallConfig(jsonNew);
    return jsonNew;
}

unsigned long ruxoConfigGeneration(void)
{
    return s_ulGeneration.load(std::memory_order_relaxed);
}

const std::vector<cJSON*>& ruxoValidChannels(void)
{
    ConfigGuard guard(g_configLock);
    VALID_CHANNELS& valid = s_validChannels;
    const unsigned long ulGeneration = s_ulGeneration.load(std::memory_order_relaxed);
    if (!valid.bBuilt || valid.ulGeneration != ulGeneration || valid.jsonTree != g_jsonConfig) {
        valid.channels.clear();
        for (cJSON* jsonChannel = jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), 0);
             jsonChannel != NULL && isChannelValid(jsonChannel); jsonChannel = jsonChannel->next)
            valid.channels.push_back(jsonChannel);
        valid.bBuilt = true;
        valid.ulGeneration = ulGeneration;
        valid.jsonTree = g_jsonConfig;
    }
    return valid.channels;
}

std::string ruxoConfigNoTreeReason(void)
{
    ConfigGuard guard(g_configLock);
    if (g_jsonConfig != NULL)
        return std::string();
    if (!s_strNoTreeReason.empty())
        return s_strNoTreeReason;
    return "no configuration has been loaded from " + g_tszfnConfig;
}

BOOL ruxoConfigLoadFailed(void)
{
    ConfigGuard guard(g_configLock);
    return s_bLoadFailed ? TRUE : FALSE;
}

/* ---- load and save ---------------------------------------------------------------------------- */

int ruxoImportConfigJSON(LPCTSTR tszfnConfig)
{
    ConfigGuard guard(g_configLock);
    int nChannels = 0;
    loadConfigFile(tszfnConfig, &nChannels);
    return nChannels;
}

/* The formatted text of a tree; false when it cannot be printed (memory exhausted). */
static bool printConfig(const cJSON* jsonConfig, std::string* pstrText)
{
    char* szText = cJSON_Print(jsonConfig);
    if (szText == NULL)
        return false;
    *pstrText = szText;
    cJSON_free(szText);
    return true;
}

int ruxoSaveConfig(const cJSON* jsonConfig, std::string* pstrReason, std::string* pstrText)
{
    ConfigGuard guard(g_configLock);
    ruxoInitLocale();
    std::string strLocal;
    std::string& strText = pstrText != NULL ? *pstrText : strLocal;
    if (!printConfig(jsonConfig, &strText)) {
        std::string strReason = "cannot write " + g_tszfnConfig + ": out of memory";
        printf("Configuration not saved: %s\n", strReason.c_str());
        if (pstrReason != NULL)
            *pstrReason = strReason;
        return -1;
    }
    if (g_tszfnConfig.empty())
        return 0;
    return writeFileAtomic(g_tszfnConfig, strText, pstrReason);
}

int ruxoExportConfig(LPCTSTR tszfnConfig)
{
    ConfigGuard guard(g_configLock);
    std::string strPath = tszfnConfig != NULL ? std::string(tszfnConfig) : g_tszfnConfig;
    if (strPath.empty())
        return 0;
    if (g_jsonConfig == NULL && s_bLoadFailed) {
        if (s_strNoTreeReason.empty()) {
            printf("Configuration not saved: %s could not be loaded and is kept unchanged\n", g_tszfnConfig.c_str());
        } else {
            printf("Configuration not saved: %s\n", s_strNoTreeReason.c_str());
        }
        return -1;
    }
    ruxoInitLocale();

    std::string strText;
    if (g_jsonConfig == NULL) {
        strText = ruxoRenderLegacyConfig();
    } else if (!printConfig(g_jsonConfig, &strText)) {
        printf("Configuration not saved: cannot write %s: out of memory\n", strPath.c_str());
        return -1;
    }
    return writeFileAtomic(strPath, strText, NULL);
}

void ruxoImportConfig(void)
{
    ConfigGuard guard(g_configLock);
    if (g_tszfnConfig.empty())
        return;
    // The locale is set here, on the main thread before any other thread runs, even when the file
    // cannot be opened: a later save on the web thread must not be the first to set it.
    ruxoInitLocale();

    int nChannels = 0;
    std::string strReason;
    LoadResult result = loadConfigFile(g_tszfnConfig.c_str(), &nChannels, &strReason);
    if (result == LOAD_MISSING && g_jsonConfig == NULL) {
        convertLegacyConfig();
    } else if (result == LOAD_FAILED && g_jsonConfig == NULL) {
        // Never overwrite a file the user may still need: run without a tree until a
        // configuration is posted, and save nothing before then.
        s_bLoadFailed = true;
        s_strNoTreeReason = "cannot load " + g_tszfnConfig + ": " + strReason;
        printf(
            "Configuration file %s cannot be loaded (%s); it is left unchanged and nothing is "
            "saved until a configuration is accepted\n",
            g_tszfnConfig.c_str(), strReason.c_str());
    }

    loadAcl();

    if (g_globalSettings.nLogLevel == 1)
        g_globalSettings.nLogLevel = 32;
}

/* ---- settings for other modules ---------------------------------------------------------------- */

void ruxoReadWebSettings(const cJSON* jsonConfig, RUXO_WEB_SETTINGS* pSettings)
{
    const cJSON* jsonGlobal = jsonGetItem(jsonConfig, "global");
    pSettings->nPort = getJsonInt(jsonGlobal, "httpPort");
    pSettings->bSsl = getJsonBool(jsonGlobal, "sslEnable");
    pSettings->strCert = getJsonString(jsonGlobal, "sslCert");
    pSettings->strKey = getJsonString(jsonGlobal, "sslKey");
    pSettings->strAcl = getJsonString(jsonGlobal, "ipACL");
}

void ruxoGetWebSettings(RUXO_WEB_SETTINGS* pSettings)
{
    ConfigGuard guard(g_configLock);
    ruxoReadWebSettings(g_jsonConfig, pSettings);
}

BOOL ruxoGetAccessList(std::string* pstrAcl)
{
    ConfigGuard guard(g_configLock);
    *pstrAcl = getJsonString(jsonGetItem(g_jsonConfig, "global"), "ipACL");
    return g_jsonConfig != NULL ? TRUE : FALSE;
}

int ruxoGetRequestLog(std::string* pstrStem)
{
    ConfigGuard guard(g_configLock);
    const int nLog = getJsonInt(jsonGetItem(g_jsonConfig, "global"), "log");
    pstrStem->clear();
    if (nLog != 0 && !g_tszfnConfig.empty())
        *pstrStem = ruxoGetExPath("_cgi");
    return nLog;
}

std::string ruxoGetLoginPass(void)
{
    ConfigGuard guard(g_configLock);
    return ruxoGetLoginPass(jsonGetItem(g_jsonConfig, "global"));
}

void ruxoKeepWebPort(int nPort)
{
    ConfigGuard guard(g_configLock);
    jsonSetItem(jsonGetItem(g_jsonConfig, "global"), "httpPort", cJSON_CreateNumber(nPort));
    ruxoExportConfig(NULL);
}

int ruxoGetGlobalInt(const char* szKey)
{
    ConfigGuard guard(g_configLock);
    return getJsonInt(jsonGetItem(g_jsonConfig, "global"), szKey);
}

char* ruxoPrintConfig(std::string* pstrNoTree)
{
    ConfigGuard guard(g_configLock);
    *pstrNoTree = ruxoConfigNoTreeReason();
    if (!pstrNoTree->empty())
        return NULL;
    return cJSON_Print(g_jsonConfig);
}

void ruxoFreeConfig(void)
{
    ConfigGuard guard(g_configLock);
    cJSON_Delete(g_jsonConfig);
    g_jsonConfig = NULL;
}
