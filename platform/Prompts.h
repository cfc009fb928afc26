#pragma once

#include <stop_token>
#include <string>

// Message boxes. Boxes have no owner window and wait for the user's answer.
// The program's texts are UTF-8.
enum class PromptIcon { None, Information, Warning, Error, Question };
enum class PromptButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class PromptAnswer { Ok, Cancel, Yes, No, Closed };

struct PromptRequest {
    std::string title;
    std::string text;
    PromptIcon icon = PromptIcon::None;
    PromptButtons buttons = PromptButtons::Ok;

    bool operator==(const PromptRequest&) const = default;
};

class Prompts {
public:
    virtual ~Prompts() = default;
    // Shows the box and waits until the user answers it or `stop` is requested;
    // a box closed by a stop request answers Closed. May be called from any thread.
    virtual PromptAnswer Show(const PromptRequest& request, std::stop_token stop = {}) = 0;
};
