// mfgkit as a line runs it, with a stand-in operator who answers Numwell's dialogs: the child process
// that the kill test ends at random moments. Arguments and environment as for mfgkit itself.

#include "Mfgkit.h"
#include "ModalScript.h"
#include "NumwellSerials.h"

#include <QCoreApplication>

namespace {

void AnswerDialogsWithOk()
{
    auto *script = new ModalScript(QCoreApplication::instance());
    for (int i = 0; i < 4; ++i)
        script->Then([](QWidget *window) { ModalScript::Click(window, QStringLiteral("OK")); });
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qAddPreRoutine(AnswerDialogsWithOk);
    line::MfgkitEnv env;
    env.needDisplay = false;
    env.numwell = [] { return std::make_unique<line::NumwellSerials>(NUMWELL_LIBRARY); };
    return line::RunMfgkit(std::vector<std::string>(argv + 1, argv + argc), env);
}
