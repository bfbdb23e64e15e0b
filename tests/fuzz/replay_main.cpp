/* replay_main.cpp -- runs a fuzz target over saved inputs without libFuzzer: every file named on
 * the command line, or found in a folder named there, once. The regular and sanitizer builds use
 * it to replay the committed corpora (seeds and the inputs of past findings) as unit tests. */
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

static void collect(const std::string& strPath, std::vector<std::string>& vFiles)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) {
        fprintf(stderr, "replay: cannot stat %s\n", strPath.c_str());
        exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        vFiles.push_back(strPath);
        return;
    }
    DIR* dir = opendir(strPath.c_str());
    if (!dir) {
        fprintf(stderr, "replay: cannot open %s\n", strPath.c_str());
        exit(2);
    }
    std::vector<std::string> vNames;
    while (struct dirent* ent = readdir(dir)) {
        if (ent->d_name[0] != '.')
            vNames.push_back(strPath + "/" + ent->d_name);
    }
    closedir(dir);
    std::sort(vNames.begin(), vNames.end());
    for (const std::string& strName : vNames)
        collect(strName, vFiles);
}

int main(int argc, char** argv)
{
    /* The inputs are read first: a target may change its working folder when it starts. */
    std::vector<std::string> vFiles, vData;
    for (int i = 1; i < argc; i++)
        collect(argv[i], vFiles);
    for (const std::string& strFile : vFiles)
        vData.push_back(ruxotest::readFile(strFile));
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (size_t i = 0; i < vFiles.size(); i++) {
        fprintf(stderr, "replay: %s (%zu bytes)\n", vFiles[i].c_str(), vData[i].size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(vData[i].data()), vData[i].size());
    }
    if (vFiles.empty()) {
        fprintf(stderr, "replay: no input found\n");
        return 2;
    }
    printf("replayed %zu inputs\n", vFiles.size());
    return 0;
}
