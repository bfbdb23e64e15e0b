/* ruxo_vocab.h -- the format and codec words of the configuration and the web interface, and their
 * values. Pure lookups over constant tables, ASCII case-insensitive, safe on any thread. */
#ifndef RUXO_VOCAB_H
#define RUXO_VOCAB_H

#include "ruxo.h"
#include "tchar.h"

RUXO_FORMAT ruxoGetFormatId(const char* szName);
const char* ruxoGetFormatName(RUXO_FORMAT format);
RUXO_CODEC ruxoGetAudioCodecId(const char* szName);
RUXO_CODEC ruxoGetVideoCodecId(const char* szName);
LPCTSTR ruxoGetCodecDesc(unsigned char ucCodec);

#endif
