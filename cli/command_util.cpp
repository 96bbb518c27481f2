#include "cli/command_util.h"

namespace talvex::cli {

std::unique_ptr<CThreadCommand> Cmd(uint32_t id, std::string text1, std::string text2)
{
    return std::make_unique<CThreadCommand>(CThreadCommand{id, std::move(text1), std::move(text2)});
}

std::optional<Report> CommandRequest(Session& session, uint32_t request, uint32_t answer, std::string text1,
                                     std::string text2)
{
    session.Command().Post(request, Cmd(request, std::move(text1), std::move(text2)));
    return session.WaitCommand(answer, session.AnswerTimeout());
}

int StatusOf(const Report& r) { return r.response ? r.response->statusCode : 0; }

} // namespace talvex::cli
