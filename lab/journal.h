// The lab's journal: lab.log with every note, and the notes worth a line on
// standard output. Other threads queue lines; the main thread writes them.
#pragma once

#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "lab/scenario.h"

namespace lab {

class Journal {
  public:
    // Queued lines kept between two flushes (the service's limit lines).
    static constexpr size_t kMaxQueuedNotes = 10000;

    bool Open(const std::string& path) {
        file_.open(path, std::ios::app);
        return static_cast<bool>(file_);
    }
    void Note(double t, const std::string& text, bool print) {
        // Appended piece by piece: GCC 12's -Wrestrict misreads `"[" + string&&`
        // once inlined in an optimised build (a false positive).
        std::string line = "[";
        line += Num(t, 1);
        line += " s] ";
        line += text;
        file_ << line << "\n" << std::flush;
        if (print) std::cout << line << std::endl;
    }
    void Queue(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (queued_.size() < kMaxQueuedNotes) queued_.push_back(text);
    }
    void Flush(double t) {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            lines.swap(queued_);
        }
        for (const std::string& line : lines) Note(t, line, false);
    }

  private:
    std::ofstream file_;
    std::mutex mutex_;
    std::vector<std::string> queued_;
};

}  // namespace lab
