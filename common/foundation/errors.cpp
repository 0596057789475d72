// Result-code texts, the per-thread last error and last message, and the
// thread-local store they live in.
#include <map>
#include <memory>
#include <new>
#include <string>

#include "KXError.h"
#include "foundation/export_boundary.h"
#include "state.h"

namespace {

struct ErrorEntry {
  int code;
  const char* text;
};

// Dense, ordered by code: the text of code c is at index c - 5000.
const ErrorEntry kErrorTable[72] = {
    {5000, "未知错误"},
    {5001, "失败"},
    {5002, "输入数据无效"},
    {5003, "输入数据长度无效"},
    {5004, "用户身份认证失败"},
    {5005, "打开文件失败"},
    {5006, "写入文件失败"},
    {5007, "读取文件失败"},
    {5008, "数据内容错误"},
    {5009, "内存分配失败"},
    {5010, "无效的证书"},
    {5011, "证书验证失败"},
    {5012, "证书算法错误"},
    {5013, "摘要校验错误"},
    {5014, "不在有效期内"},
    {5015, "签章属性信息数据格式错误"},
    {5016, "计算摘要错误"},
    {5017, "不支持该类型文档"},
    {5018, "asn1编解码失败"},
    {5019, "证书过期"},
    {5020, "印章过期"},
    {5021, "签章过期"},
    {5022, "无效的标识"},
    {5023, "无效的印章"},
    {5024, "无效的签章"},
    {5025, "无效的p7签章"},
    {5026, "无效的p7签名属性"},
    {5027, "无效的签章TBS数据"},
    {5028, "key中没有印章"},
    {5029, "无效印章属性信息"},
    {5030, "没有找到匹配UKey"},
    {5031, "打开UKey应用失败"},
    {5032, "没有找到指定的证书"},
    {5033, "没有找到指定的印章"},
    {5034, "签名失败"},
    {5035, "验证失败"},
    {5036, "PIN码验证失败"},
    {5037, "时间不在有效期内"},
    {5038, "没有文件"},
    {5039, "格式化时间失败"},
    {5040, "对话框参数错误"},
    {5041, "取消对话框"},
    {5042, "对话框数据空间不足"},
    {5043, "对话框获得列表选择框错误"},
    {5044, "对话框获得信息数据错误"},
    {5045, "对话框获得图片错误"},
    {5046, "对话框分配空间错误"},
    {5047, "没有找到对应的证书链"},
    {5048, "校验CRL失败"},
    // Reserved for a server connection mode that the libraries do not use.
    {5049, "服务器连接模式错误"},
    {5050, "编码转换失败"},
    {5051, "大小超过限制"},
    {5052, "证书不存在，请查看设备是否有效"},
    {5053, "查找容器错误"},
    {5054, "网络异常"},
    {5055, "服务器用户认证失败"},
    {5056, "服务器异常"},
    {5057, "删除文件失败"},
    {5058, "枚举文件失败"},
    {5059, "获取时间戳失败"},
    {5060, "插入多个UKEY"},
    {5061, "UKEY策略已修改，请重置口令"},
    {5062, "PIN锁定"},
    {5063, "配置文件错误"},
    {5064, "没有找到密钥"},
    {5065, "生成密钥错误"},
    {5066, "加解密错误"},
    {5067, "无效密钥"},
    {5068, "设置证书请求错误"},
    {5069, "openssl函数错误"},
    {5070, "文件已存在"},
    {5071, "数据已到最大限制"},
};

const size_t kMessageReserve = 8192;

// One record of a thread's store.
struct basic_tls_data {
  void* data;
  basic_tls_cleanup* cleanup;
};
// Ordered by the owner's address read as an unsigned integer.
using TlsMap = std::map<uintptr_t, basic_tls_data>;

}  // namespace

pthread_key_t g_tlsKey;

namespace kx {
bool g_tlsKeyReady = false;
}  // namespace kx

// The two thread-local variables of the library. Defined here, after the
// key, so that they are constructed after it and destroyed before the
// library's unload work deletes it (see init.cpp for the order).
extern CKXTls<int>* kx_tls_last_error();
extern CKXTls<std::string>* kx_tls_last_msg();

basic_tls_cleanup::~basic_tls_cleanup() = default;

void* basic_tls_get_data(const void* key) {
  if (!kx::g_tlsKeyReady) return nullptr;
  auto* map = static_cast<TlsMap*>(pthread_getspecific(g_tlsKey));
  if (map == nullptr) return nullptr;
  auto it = map->find(reinterpret_cast<uintptr_t>(key));
  return it == map->end() ? nullptr : it->second.data;
}

// Without memory for a new entry the value is not stored: callers see that
// by reading it back.
void basic_tls_set_data(const void* key, void* data, basic_tls_cleanup* cleanup,
                        bool cleanOld) {
  if (!kx::g_tlsKeyReady) return;
  kx::GuardValue(kx::SilentFailure("basic_tls_set_data"), [&] {
    auto* map = static_cast<TlsMap*>(pthread_getspecific(g_tlsKey));
    if (map == nullptr) {
      map = new (std::nothrow) TlsMap;
      if (map == nullptr) return;
      if (pthread_setspecific(g_tlsKey, map) != 0) {
        delete map;
        return;
      }
    }
    const uintptr_t k = reinterpret_cast<uintptr_t>(key);
    auto it = map->find(k);
    if (it == map->end()) {
      map->emplace(k, basic_tls_data{data, cleanup});
      return;
    }
    // A null old value has nothing to free, and storing the value already
    // held must not free it under the caller.
    if (cleanOld && it->second.cleanup != nullptr &&
        it->second.data != nullptr && it->second.data != data)
      (*it->second.cleanup)(it->second.data);
    it->second.data = data;
    it->second.cleanup = cleanup;
  });
}

extern "C" void basic_tls_destructor(void* arg) {
  auto* map = static_cast<TlsMap*>(arg);
  if (map == nullptr && kx::g_tlsKeyReady)
    map = static_cast<TlsMap*>(pthread_getspecific(g_tlsKey));
  if (map == nullptr) return;
  // Detach the map first: a cleanup that touches the store then starts a
  // fresh map instead of editing the one being walked.
  if (kx::g_tlsKeyReady &&
      pthread_getspecific(g_tlsKey) == static_cast<void*>(map))
    pthread_setspecific(g_tlsKey, nullptr);
  // Ascending owner-key order. An entry whose value was already replaced by
  // null is skipped: its cleanup object may be gone with its owner.
  for (auto& entry : *map)
    if (entry.second.cleanup != nullptr && entry.second.data != nullptr)
      (*entry.second.cleanup)(entry.second.data);
  delete map;
}

extern "C" void KXSetLastError(int code) {
  CKXTls<int>* tls = kx_tls_last_error();
  int* value = tls->get();
  if (value == nullptr) {
    value = new (std::nothrow) int(0);
    if (value == nullptr) return;
    if (tls->get() != value) tls->set(value);
    if (tls->get() != value) {  // the store could not take it
      delete value;
      return;
    }
  }
  *value = code;
}

extern "C" int KXGetLastError() {
  const int* value = kx_tls_last_error()->get();
  return value == nullptr ? 0 : *value;
}

extern "C" void KXSetLastMsg(const char* text) {
  CKXTls<std::string>* tls = kx_tls_last_msg();
  std::string* value = tls->get();
  // Out of memory: the previous message stays.
  kx::GuardValue(kx::SilentFailure("KXSetLastMsg"), [&] {
    if (value == nullptr) {
      auto created = std::make_unique<std::string>();
      created->reserve(kMessageReserve);
      value = created.get();
      if (tls->get() != value) tls->set(value);
      if (tls->get() != value) return;  // the store could not take it
      created.release();                // owned by the thread's store now
    }
    if (text == nullptr)
      value->clear();
    else
      value->assign(text);
  });
}

extern "C" const char* KXGetLastMsg() {
  const std::string* value = kx_tls_last_msg()->get();
  return value == nullptr ? "" : value->c_str();
}

extern "C" const char* KXFormatError(int code) {
  if (code == -1) return "错误";
  if (code == 0) return "成功";
  if (code >= 1 && code <= 4999) return KXGetLastMsg();
  if (code >= 5000 && code <= 5071) return kErrorTable[code - 5000].text;
  return "未知错误代码";
}

CKXMutex::CKXMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

CKXMutex::~CKXMutex() { pthread_mutex_destroy(&mutex_); }

bool CKXMutex::lock() { return pthread_mutex_lock(&mutex_) == 0; }

void CKXMutex::unlock() { pthread_mutex_unlock(&mutex_); }
