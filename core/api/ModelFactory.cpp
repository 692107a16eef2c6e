#include "api/ModelFactory.h"

#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Log.h"

namespace {

struct SProductEntry {
    int iProductID;
    const char* szClassName;  // null: the product is counted but has no driver class
};

// Every product ID of the camera line, in the order KYRGetProductIDs hands them
// out, with the driver class that serves it. Two IDs build a class whose model
// number differs from the ID's (0x811a, 0x811e), and 0x811e shares its class
// with 0x807e.
const SProductEntry g_ProductTable[KYR_PRODUCT_COUNT] = {
    {0x841a, "CCameraS841MM"},      {0x810a, "CCameraS810MM"},
    {0x810b, "CCameraS810MC"},      {0x839b, "CCameraS839MC"},
    {0x839a, "CCameraS839MM"},      {0x840a, "CCameraS840MC"},
    {0x838b, "CCameraS838MC"},      {0x808b, "CCameraS808MM"},
    {0x808a, "CCameraS808MC"},      {0x806a, "CCameraS806MC"},
    {0x806b, "CCameraS806MC_Pro"},  {0x833b, "CCameraS833MC_Pro"},
    {0x810d, "CCameraS810MM_S"},    {0x810e, "CCameraS810MC_S"},
    {0x810c, "CCameraS810MM_Mini"}, {0x810f, "CCameraS810MC_Mini"},
    {0x804f, "CCameraS804MC_Pro"},  {0x830a, "CCameraS830MC"},
    {0x818b, "CCameraS818MM"},      {0x818a, "CCameraS818MC"},
    {0x818d, "CCameraS818MM_C"},    {0x818c, "CCameraS818MC_C"},
    {0x818f, "CCameraS818MM_Pro"},  {0x818e, "CCameraS818MC_Pro"},
    {0x8189, "CCameraS818MM_Mini"}, {0x813c, "CCameraS813MM"},
    {0x813a, "CCameraS813MC"},      {0x813d, "CCameraS813MM_C"},
    {0x813b, "CCameraS813MC_C"},    {0x813e, "CCameraS813MM_Pro"},
    {0x813f, "CCameraS813MC_Pro"},  {0x835a, "CCameraS835MM"},
    {0x835b, "CCameraS835MC"},      {0x835e, "CCameraS835MM_Pro"},
    {0x835f, "CCameraS835MC_Pro"},  {0x835c, "CCameraS835GT"},
    {0x803a, "CCameraS803MC"},      {0x803b, "CCameraS803MC_C"},
    {0x7602, "CCameraS7600MM"},     {0x7600, "CCameraS7600MC"},
    {0x7603, "CCameraS7600MM_C"},   {0x7601, "CCameraS7600MC_C"},
    {0x7604, "CCameraS7600MM_Pro"}, {0x7605, "CCameraS7600MC_Pro"},
    {0x7606, "CCameraS7600GT"},     {0x8129, "CCameraS812MM_Mini"},
    {0x816a, "CCameraS816MC"},      {0x816b, "CCameraS816MC_C"},
    {0x802a, "CCameraS802MC"},      {0x805b, "CCameraS805MC"},
    {0x809b, "CCameraS809MC"},      {0x809f, "CCameraS809MC_Pro"},
    {0x819b, "CCameraS819MC"},      {0x819f, "CCameraS819MC_Pro"},
    {0x831a, "CCameraS831MC"},      {0x831e, "CCameraS831MC_Pro"},
    {0x824b, "CCameraS824MM"},      {0x824a, "CCameraS824MC"},
    {0x824d, "CCameraS824MM_C"},    {0x824c, "CCameraS824MC_C"},
    {0x8f1a, "CCameraS824MM_Pro"},  {0x8f1b, "CCameraS824MC_Pro"},
    {0x824f, "CCameraS824MM_Mini"}, {0x811a, "CCameraS807MM"},
    {0x811b, "CCameraS811MC"},      {0x811e, "CCameraS807MM_Pro"},
    {0x811f, "CCameraS811MC_Pro"},  {0x8f79, nullptr},
    {0x7505, "CCameraS7500MC_Pro"}, {0x710e, "CCameraS7100MM_Pro"},
    {0x710a, "CCameraS7100MC_Pro"}, {0x812a, "CCameraS7200MM"},
    {0x812b, "CCameraS7200MC"},     {0x815b, "CCameraS815MC"},
    {0x815f, "CCameraS815MC_Pro"},  {0x801b, "CCameraS801MC"},
    {0x801f, "CCameraS801MC_Pro"},  {0x836b, "CCameraS836MC"},
    {0x836d, "CCameraS836MC_C"},    {0x836f, "CCameraS836MC_Pro"},
    {0x834e, "CCameraS834MM_Pro"},  {0x8299, "CCameraS829MM"},
    {0x829e, "CCameraS829MM_Pro"},  {0x821a, "CCameraS821MM"},
    {0x821b, "CCameraS821MC"},      {0x821e, "CCameraS821MM_Pro"},
    {0x837e, "CCameraS837MM_Pro"},  {0x8379, "CCameraS837MM_Mini"},
    {0x822e, "CCameraS822MM_Pro"},  {0x823b, "CCameraS823MC"},
    {0x823f, "CCameraS823MC_Pro"},  {0x825b, "CCameraS825MC"},
    {0x825f, "CCameraS825MC_Pro"},  {0x827b, "CCameraS827MC"},
    {0x827f, "CCameraS827MC_Pro"},  {0x814b, "CCameraS814MC"},
    {0x814f, "CCameraS814MC_Pro"},  {0x807a, nullptr},
    {0x807e, "CCameraS807MM_Pro"},  {0x829a, "CCameraS7400MM"},
    {0x828a, "CCameraS828MM"},      {0x828b, "CCameraS828MC"},
    {0x828e, "CCameraS828MM_Pro"},  {0x828f, "CCameraS828MC_Pro"},
    {0x832b, "CCameraS832MC"},      {0x832f, "CCameraS832MC_Pro"},
    {0x730a, "CCameraS7300MC_Pro"}, {0x730b, "CCameraS7300MM_Pro"},
    {0x817b, "CCameraS817MC"},      {0x817f, "CCameraS817MC_Pro"},
    {0x820b, "CCameraS820MC"},      {0x820f, "CCameraS820MC_Pro"},
    {0x826e, "CCameraS826MM_Pro"},
};

// A class registered and not yet checked.
struct SPendingClass {
    std::string name;
    CameraConstructor ctor;
    ClassCheck fnCheck;
};

struct SRegistry {
    std::mutex mutex;
    std::map<std::string, CameraConstructor> byClass;
    std::map<int, CameraConstructor> testOverride;
    std::vector<SPendingClass> pending;
};

SRegistry& Registry() {
    static SRegistry* registry = new SRegistry();  // used from static initialisers; never destroyed
    return *registry;
}

// Runs the checks of the classes registered since the last lookup (the
// registry's mutex held): a class that passes is registered, one that fails
// is dropped with its reason.
void SettlePending(SRegistry& reg) {
    std::vector<SPendingClass> pending;
    pending.swap(reg.pending);
    for (SPendingClass& c : pending) {
        std::string why;
        if (c.fnCheck && !c.fnCheck(&why)) {
            fprintf(stderr, "kyrcamera: driver class %s refused: %s\n", c.name.c_str(), why.c_str());
            DbgPrint(-1, "CModelRegistrar", "class %s refused: %s\n", c.name.c_str(), why.c_str());
            continue;
        }
        reg.byClass[c.name] = c.ctor;
    }
}

}  // namespace

int CopyProductIDs(int* pIDs) {
    if (pIDs)
        for (int i = 0; i < KYR_PRODUCT_COUNT; ++i) pIDs[i] = g_ProductTable[i].iProductID;
    return KYR_PRODUCT_COUNT;
}

const char* ModelClassName(int iProductID) {
    for (const SProductEntry& e : g_ProductTable)
        if (e.iProductID == iProductID) return e.szClassName;
    return nullptr;
}

bool IsSupportedProduct(int iProductID) {
    for (const SProductEntry& e : g_ProductTable)
        if (e.iProductID == iProductID) return true;
    return false;
}

CModelRegistrar::CModelRegistrar(const char* szClassName, CameraConstructor ctor, ClassCheck fnCheck) {
    SRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.pending.push_back(SPendingClass{szClassName, ctor, std::move(fnCheck)});
}

CCameraBase* CreateCameraForProduct(int iProductID) {
    SRegistry& reg = Registry();
    CameraConstructor ctor = nullptr;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        SettlePending(reg);
        auto over = reg.testOverride.find(iProductID);
        if (over != reg.testOverride.end()) {
            ctor = over->second;
        } else {
            const char* name = ModelClassName(iProductID);
            if (!name) return nullptr;
            auto it = reg.byClass.find(name);
            if (it == reg.byClass.end()) return nullptr;
            ctor = it->second;
        }
    }
    return ctor ? ctor() : nullptr;
}

void SetCameraConstructorForTest(int iProductID, CameraConstructor ctor) {
    SRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (ctor)
        reg.testOverride[iProductID] = ctor;
    else
        reg.testOverride.erase(iProductID);
}
