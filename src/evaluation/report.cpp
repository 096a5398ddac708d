#include "evaluation/report.h"

#include "evaluation/evaluator.h"

double model_eval(Evaluator& evaluator, Reporter& reporter, const tfmatrix& vector,
                  bool* complete) {
    if (complete)
        *complete = true;
    return reportRun(reporter, evaluator.evaluate(vector, Reading::Criterion), complete);
}

double reportRun(Reporter& reporter, const EvaluationResult& r, bool* complete) {
    if (complete)
        *complete = true;
    if (!r.complete) {
        reporter.log(r.why);
        if (complete)
            *complete = false;
        return 0;
    }
    // 14. One chart point per completed evaluation.
    reporter.evaluated(r.criterion);
    return r.criterion;
}
