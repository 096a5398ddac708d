#include "starts/interleaved_starts.h"

#include "evaluation/run_journal.h"
#include "runs/parallel_runs.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <new>

namespace {
// The stack of a task: room enough for the search, the evaluation and the
// event loop that the stop button's check runs. Reserved, not used: the
// system gives pages only as they are touched.
constexpr std::size_t kStackBytes = 8u << 20;

// Thrown into the waiting tasks when another task's error ends the starts; not
// a std::exception, so that nothing on the way mistakes it for an error of its
// own.
struct Cancelled {};

// The task being entered for the first time (makecontext passes no pointers).
thread_local InterleavedStarts* entering = nullptr;
} // namespace

struct InterleavedStarts::SchedulerContext {
    ucontext_t context;
};

struct InterleavedStarts::Task {
    enum class State { Ready, InRound, Waiting, Ended };
    State state = State::Ready;
    ucontext_t context;
    void* stack = nullptr;
    std::size_t stackBytes = 0;
    bool started = false;
    std::exception_ptr error;
    // The journal's phase and stage as this task left them.
    journal::Phase phase = journal::Phase::Search;
    QString stage;
    std::vector<RunTicket> asked;
    std::vector<RunOutcome> outcomes;

    ~Task() {
        if (stack)
            munmap(stack, stackBytes);
    }
};

InterleavedStarts::InterleavedStarts(ParallelRuns* runs)
    : parallel(runs), scheduler(std::make_unique<SchedulerContext>()) {}

InterleavedStarts::~InterleavedStarts() = default;

bool InterleavedStarts::earlierEnded(int start) const {
    for (int j = 0; j < start && j < static_cast<int>(tasks.size()); ++j)
        if (tasks[static_cast<std::size_t>(j)]->state != Task::State::Ended)
            return false;
    return true;
}

void InterleavedStarts::enter() {
    InterleavedStarts* self = entering;
    const int k = self->running;
    Task& task = *self->tasks[static_cast<std::size_t>(k)];
    try {
        (*self->body)(k);
    } catch (const Cancelled&) {
        // Ended by another start's error: nothing of its own to report.
    } catch (...) {
        task.error = std::current_exception();
    }
    task.state = Task::State::Ended;
    // Returning switches to uc_link, the scheduler.
}

void InterleavedStarts::resume(int k) {
    Task& task = *tasks[static_cast<std::size_t>(k)];
    RunJournal* book = parallel->journal();
    QString stage;
    journal::Phase phase = journal::Phase::Search;
    if (book) {
        stage = book->stage();
        phase = book->phase();
        if (task.started) {
            book->setStage(task.stage);
            book->setPhase(task.phase);
        }
    }
    running = k;
    if (!task.started) {
        task.started = true;
        task.stackBytes = kStackBytes;
        const long page = sysconf(_SC_PAGESIZE);
        task.stack = mmap(nullptr, task.stackBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (task.stack == MAP_FAILED) {
            task.stack = nullptr;
            throw std::bad_alloc();
        }
        // A guard page at the far end: an overflow faults instead of writing
        // into whatever lies below.
        mprotect(task.stack, static_cast<std::size_t>(page), PROT_NONE);
        getcontext(&task.context);
        task.context.uc_stack.ss_sp = task.stack;
        task.context.uc_stack.ss_size = task.stackBytes;
        task.context.uc_link = &scheduler->context;
        makecontext(&task.context, &InterleavedStarts::enter, 0);
        entering = this;
    }
    swapcontext(&scheduler->context, &task.context);
    running = -1;
    if (book) {
        task.stage = book->stage();
        task.phase = book->phase();
        book->setStage(stage);
        book->setPhase(phase);
    }
}

void InterleavedStarts::yieldToScheduler() {
    Task& task = *tasks[static_cast<std::size_t>(running)];
    swapcontext(&task.context, &scheduler->context);
    if (cancelled)
        throw Cancelled{};
}

std::vector<RunOutcome> InterleavedStarts::round(const std::vector<ParameterVector>& vectors,
                                                 Reading reading, int pauseBeforeMs) {
    Task& task = *tasks[static_cast<std::size_t>(running)];
    if (cancelled)
        throw Cancelled{};
    task.asked.clear();
    for (const ParameterVector& v : vectors)
        task.asked.push_back({0, v, reading, pauseBeforeMs});
    task.state = Task::State::InRound;
    yieldToScheduler();
    std::vector<RunOutcome> outcomes;
    outcomes.swap(task.outcomes);
    return outcomes;
}

void InterleavedStarts::awaitEarlierStarts() {
    if (!parallel || earlierEnded(running))
        return;
    tasks[static_cast<std::size_t>(running)]->state = Task::State::Waiting;
    yieldToScheduler();
}

void InterleavedStarts::run(const std::vector<StartOutput*>& outputs,
                            const std::function<void(int)>& work,
                            const std::function<bool(int)>& stopped) {
    body = &work;
    if (!parallel) {
        runOneAfterAnother(outputs, work, stopped);
        body = nullptr;
        return;
    }
    const int count = static_cast<int>(outputs.size());
    tasks.clear();
    for (int k = 0; k < count; ++k)
        tasks.push_back(std::make_unique<Task>());
    cancelled = false;
    if (count > 0)
        outputs[0]->toFront();
    for (;;) {
        const int next = firstReady();
        if (next >= 0)
            resumeTask(next, outputs);
        else if (!runAskedRound())
            break; // every task has ended
    }
    body = nullptr;
    for (auto& t : tasks)
        if (t->error)
            std::rethrow_exception(t->error);
}

void InterleavedStarts::runOneAfterAnother(const std::vector<StartOutput*>& outputs,
                                           const std::function<void(int)>& work,
                                           const std::function<bool(int)>& stopped) {
    const int count = static_cast<int>(outputs.size());
    for (int k = 0; k < count; ++k) {
        running = k;
        outputs[static_cast<std::size_t>(k)]->toFront();
        work(k);
        running = -1;
        if (stopped(k))
            break;
    }
}

bool InterleavedStarts::ready(int k) const {
    const Task& t = *tasks[static_cast<std::size_t>(k)];
    return t.state == Task::State::Ready ||
           (t.state == Task::State::Waiting && (cancelled || earlierEnded(k)));
}

int InterleavedStarts::firstReady() const {
    // The order in which tasks run decides the order of the runs in a round
    // and of the journal's rows, so it must not depend on timing.
    const int count = static_cast<int>(tasks.size());
    for (int k = 0; k < count; ++k)
        if (ready(k))
            return k;
    return -1;
}

void InterleavedStarts::resumeTask(int k, const std::vector<StartOutput*>& outputs) {
    Task& t = *tasks[static_cast<std::size_t>(k)];
    t.state = Task::State::Ready;
    resume(k);
    if (t.state != Task::State::Ended)
        return;
    // The others unwind at their waits; the runs of a round already asked
    // for are not made.
    if (t.error && !cancelled)
        cancelTasks();
    // The front moves on to the first start still going; what the starts on
    // the way kept goes out in their order.
    const int count = static_cast<int>(outputs.size());
    for (int j = 0; j < count; ++j) {
        outputs[static_cast<std::size_t>(j)]->toFront();
        if (tasks[static_cast<std::size_t>(j)]->state != Task::State::Ended)
            break;
    }
}

void InterleavedStarts::cancelTasks() {
    cancelled = true;
    for (auto& t : tasks)
        if (t->state != Task::State::Ended)
            t->state = Task::State::Ready;
}

bool InterleavedStarts::runAskedRound() {
    const int count = static_cast<int>(tasks.size());
    std::vector<RunTicket> tickets;
    std::vector<int> owner;
    for (int k = 0; k < count; ++k)
        for (RunTicket& t : tasks[static_cast<std::size_t>(k)]->asked) {
            tickets.push_back(std::move(t));
            owner.push_back(k);
        }
    if (tickets.empty())
        return false;
    for (auto& t : tasks)
        t->asked.clear();
    std::vector<RunOutcome> outcomes;
    try {
        outcomes = parallel->round(std::move(tickets), false, true);
    } catch (...) {
        // The round itself failed (the database written from outside): the
        // tasks unwind, and the error ends the calibration.
        cancelTasks();
        for (int k = 0; k < count; ++k)
            if (tasks[static_cast<std::size_t>(k)]->state != Task::State::Ended)
                resume(k);
        throw;
    }
    for (std::size_t i = 0; i < outcomes.size() && i < owner.size(); ++i)
        tasks[static_cast<std::size_t>(owner[i])]->outcomes.push_back(std::move(outcomes[i]));
    for (auto& t : tasks)
        if (t->state == Task::State::InRound)
            t->state = Task::State::Ready;
    return true;
}

void StartOutput::later(std::function<void(Reporter&)> action) {
    if (front)
        action(out);
    else
        kept.push_back(std::move(action));
}

void StartOutput::toFront() {
    if (front)
        return;
    front = true;
    for (auto& action : kept)
        action(out);
    kept.clear();
}

void StartOutput::log(const QString& line, bool select) {
    later([line, select](Reporter& r) { r.log(line, select); });
}

void StartOutput::clearLog() {
    later([](Reporter& r) { r.clearLog(); });
}

void StartOutput::saveLog(const QString& fileName) {
    later([fileName](Reporter& r) { r.saveLog(fileName); });
}

void StartOutput::evaluated(double criterion) {
    later([criterion](Reporter& r) { r.evaluated(criterion); });
}

void StartOutput::parameterListChanged() {
    later([](Reporter& r) { r.parameterListChanged(); });
}

void StartOutput::parameterValuesChanged() {
    later([](Reporter& r) { r.parameterValuesChanged(); });
}
