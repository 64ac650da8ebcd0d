// ThreadPool: tasks run on worker threads under guards, and a task's failure
// travels to the main thread in a std::exception_ptr, which the main thread
// rethrows through a guard of its own and reports.
//
// An exception_ptr carries the exception object itself, not a copy: every
// rethrow through a guard adds one more entry to that same object. So the
// failure, collected twice, shows the collecting guard twice in its second
// report. The worker adds what it knows of the failure, the task's number, as
// a field of that same object, and the main thread reads it from there.
// Exit status 1, since a task fails.

#include <StdException/BasicException>
#include <StdException/Guard>
#include <StdException/Strategies>

#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

// TaskException: the application's kind, in one line.
struct TaskException : Quorbel::BasicException<TaskException> {
    using BasicException::BasicException;
};

// Task: the work of task n, on a worker thread; task 2 fails.
int Task(int n) {
    QUORBEL_TRY {
        if (n == 2) QUORBEL_THROW(TaskException, "", "", "task 2 cannot run");
        return n * n;
    }
    QUORBEL_CATCH([n] { return "n(" + std::to_string(n) + ")"; }, "")
}

// Collect: the result of a task, or its failure rethrown, in the main thread.
int Collect(const std::exception_ptr& failure, int result) {
    QUORBEL_TRY {
        if (failure) std::rethrow_exception(failure);
        return result;
    }
    QUORBEL_CATCH("", "collecting a result")
}

int main() {
    const int tasks = 4;
    std::vector<int> results(tasks);
    std::vector<std::exception_ptr> failures(tasks);
    std::vector<std::thread> workers;
    for (int n = 0; n < tasks; ++n)
        workers.emplace_back([&results, &failures, n] {
            try {
                results[n] = Task(n);
            } catch (Quorbel::StdException& failure) {
                failure.SetField("task", n);  // travels with the object to the main thread
                failures[n] = std::current_exception();
            } catch (...) {
                failures[n] = std::current_exception();
            }
        });
    for (std::thread& worker : workers) worker.join();

    Quorbel::StreamReportingStrategy toOutput(std::cout);
    for (int pass = 1; pass <= 2; ++pass) {
        std::cout << "Collecting, pass " << pass << ":\n";
        for (int n = 0; n < tasks; ++n) {
            try {
                const int result = Collect(failures[n], results[n]);
                std::cout << "task " << n << ": " << result << '\n';
            } catch (Quorbel::StdException& failure) {
                const Quorbel::FieldValue* task = failure.GetField("task");  // the worker's
                std::cout << "task " << (task != nullptr ? task->GetInteger() : -1) << " failed:\n";
                toOutput.Report(failure);
            }
        }
    }
    return 1;
}
