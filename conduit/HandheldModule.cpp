#include "conduit/HandheldModule.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

namespace {

constexpr size_t kVersionBufferSize = 26;
constexpr size_t kVersionTextField = 10;
constexpr size_t kVersionTextKept = 8;
constexpr size_t kEncodingBufferSize = 20;

struct Call {
  long callResult = 0;
  uint32_t moduleResult = 0;
  std::vector<uint8_t> reply;
};

Call callModule(uint16_t function, size_t size) {
  std::vector<uint8_t> param(size, 0);
  Call call;
  call.reply.assign(size, 0);
  SyncCallModuleParams params;
  std::memset(&params, 0, sizeof params);
  params.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
  params.type = SYNC_FOURCC('a', 'p', 'p', 'l');
  params.function = function;
  params.paramSize = static_cast<uint32_t>(size);
  params.param = param.data();
  params.replySize = static_cast<uint32_t>(size);
  params.reply = call.reply.data();
  params.resultCode = 0;
  call.callResult = SyncCallRemoteModule(&params);
  call.moduleResult = params.resultCode;
  return call;
}

// The NUL-terminated text at the start of `bytes`, at most `limit` characters.
std::string textOf(const std::vector<uint8_t>& bytes, size_t limit) {
  const char* text = reinterpret_cast<const char*>(bytes.data());
  return std::string(text, strnlen(text, std::min(limit, bytes.size())));
}

}  // namespace

ModuleAnswer queryModuleVersion(RunLog& log) {
  const Call call = callModule(SYNC_MODULE_VERSION, kVersionBufferSize);
  ModuleAnswer answer;
  answer.callResult = call.callResult;
  if (call.callResult != SYNCERR_NONE) return answer;
  if (call.moduleResult != 0) {
    log.line("#   ERROR: CallModule GetVersion(0x%x)\n", call.moduleResult);
    log.line("#     Non obvious. Dm error? Hm error?\n");
    return answer;
  }
  answer.text = textOf(call.reply, std::min(kVersionTextField, kVersionTextKept));
  return answer;
}

ModuleAnswer queryModuleEncoding(RunLog& log) {
  const Call call = callModule(SYNC_MODULE_GET_ENCODING, kEncodingBufferSize);
  ModuleAnswer answer;
  answer.callResult = call.callResult;
  if (call.callResult != SYNCERR_NONE) return answer;
  if (call.moduleResult != 0) {
    log.line("#   ERROR: CallModule GetEncoding(0x%x)\n", call.moduleResult);
    log.line("#     Could not invoke Tolvan to find out Encoding type?\n");
    return answer;
  }
  answer.text = textOf(call.reply, kEncodingBufferSize);
  return answer;
}

}  // namespace tolvex
