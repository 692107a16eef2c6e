// How a driver class of the engine registers with the model factory, and
// the object the factory makes of it. A class file registers with one line:
//   const CEngineRegistrar<CCameraS832MC> kRegistrar("CCameraS832MC", g_DescS832MC);
// Its description is checked before the class counts as registered
// (CheckDriverDesc); a description the engine cannot run leaves the class
// out, with the reason logged.
#ifndef KYR_ENGINE_REGISTRAR_H
#define KYR_ENGINE_REGISTRAR_H

#include <string>

#include "cooling/CameraCool.h"
#include "engine/DescCheck.h"
#include "engine/DriverDesc.h"
#include "api/ModelFactory.h"

// The object the factory makes of driver class TModel. Its destructor runs
// first, while the whole object still stands: it closes the camera, which
// stops and joins every thread of it (cooler, capture, trigger, auto
// control), so that no thread body runs a virtual call on a driver whose
// derived part is already destroyed. After an exported close it finds
// nothing open and nothing running.
template <class TModel>
class CDriverObject final : public TModel {
  public:
    ~CDriverObject() override { this->CloseCamera(); }
};

template <class TModel>
class CEngineRegistrar {
  public:
    // A class with a description of static storage.
    CEngineRegistrar(const char* szClassName, const SDriverDesc& desc)
        : m_reg(szClassName, Make,
                [pDesc = &desc](std::string* pWhy) { return CheckDriverDesc(*pDesc, pWhy); }) {}
    // A class whose description a function builds on first use.
    CEngineRegistrar(const char* szClassName, const SDriverDesc& (*fnDesc)())
        : m_reg(szClassName, Make,
                [fnDesc](std::string* pWhy) { return CheckDriverDesc(fnDesc(), pWhy); }) {}

    static CCameraBase* Make() { return new CDriverObject<TModel>(); }

  private:
    CModelRegistrar m_reg;
};

#endif
