/* ruxo_common.h -- the application layer in one include: text types and helpers, configuration,
 * vocabularies, legacy records, playlists and channels. */
#ifndef RUXO_COMMON_H
#define RUXO_COMMON_H

#include "tchar.h"
#include "ruxo_text.h"
#include "ruxo.h"
#include "ruxo_config.h"
#include "ruxo_vocab.h"
#include "ruxo_legacy.h"
#include "PlayList.h"
#include "ruxo_channel.h"

#endif
