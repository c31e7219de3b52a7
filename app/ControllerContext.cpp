#include "app/ControllerContext.h"

#include "app/ControllerTexts.h"
#include "app/IControllerFrontEnd.h"
#include "app/IControllerSeams.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/MessageSink.h"

#include <utility>

ControllerContext::ControllerContext(ControllerEnvironment env, IControllerSeams& ownSeams)
    : env_(std::move(env)), events_(env_.events ? *env_.events : defaultEvents_),
      seams_(env_.seams ? *env_.seams : ownSeams) {}

void ControllerContext::ShowNotice(const char* text) const {
    EngineMessageBox(ownerWindow_, text, texts::kCaption, 0);
}

void ControllerContext::DeferModal(const char* text) const {
    IControllerFrontEnd* front = env_.frontEnd;
    std::string message = text;
    Defer([front, message] {
        if (front)
            front->ShowModalMessage(message, texts::kCaption);
        else
            platform::ShowMessage({message, texts::kCaption, 0});
    });
}
