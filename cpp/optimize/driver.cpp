/// The entry point portfolio_optimize and the default objective it shares between calls.
#include "optimize/driver.hpp"

namespace velquor::optimize {

namespace {

constexpr const char *DOC = R"doc(
    组合优化，根据给定的约束及目标函数计算最优组合权重。
    支持下列目标函数：
        * :class:`MinVariance`: 风险最小化
        * :class:`MinActiveVariance`: 主动风险最小化
        * :class:`MeanVariance`: 均值（收益）方差（风险）模型
        * :class:`ActiveMeanVariance`: 主动收益/主动风险模型
        * :class:`RiskParity`: 风险平价
        * :class:`MinTrackingError`: 最小追踪误差
        * :class:`MaxInformationRatio`: 最大信息比率
        * :class:`MaxSharpeRatio`: 最大夏普率
        * :class:`MaxIndicator`: 指标值最大化
        * :class:`MinStyleDeviation`: 风格偏离最小化
    支持以下约束类型：
        * :class:`TrackingErrorLimit`: 跟踪误差约束
        * :class:`TurnoverLimit`: 换手率约束
        * :class:`BenchmarkComponentWeightLimit`: 成分股权重约束，即要求优化结果中，基准成分股的权重之和的下限
        * :class:`IndustryConstraint`: 行业权重约束，默认行业分类为申万一级。可选中信一级及申万一级(拆分非银金融行业)
        * :class:`WildcardIndustryConstraint`:
        * :class:`StyleConstraint`: 风格约束
        * :class:`WildcardStyleConstraint`:
        * :class:`IndustryComponentLimit: 行业内个股权重约束

    :param order_book_ids: 候选合约
    :param date: 优化日期；优化结果用于指导此日的调仓；_优化过程中所使用的所有数据均在此日开盘之前_。
    :param objective: 目标函数，默认为MinVariance（风险最小化）。
    :type objective: :class:`OptimizationObjective`
    :param bnds: 个股权重上下界。字典，key 为 order_book_id, value 为 (lower_limit, upper_limit) 组成的 tuple。
                 lower_limit/upper_limit 取值可以是 [0, 1] 的数或 None。当取值为 None 时，表示对应的界不做限制。
                 当 key 为 `'*'` 时，表示所有未在此字典中明确指定的其他合约。
                 所有合约默认上下界为 [0, 1]。
    :type bnds: {order_book_id | "*": (lower_limit, upper_limit)}
    :param cons: 约束列表
    :type cons: [:class:`OptimizationConstraint`]
    :param benchmark: 基准, 指数使用指数代码，自定义基准需要继承自 :class:`OptimizeBenchmark` 的类实例
    :type benchmark: str | :class:`OptimizeBenchmark`
    :param cov_model: 协方差模型，支持 daily/monthly/quarterly
    :param factor_risk_aversion: 因子风险厌恶系数，默认为1
    :param specific_risk_aversion: 特异风险厌恶系数，默认为1
    :param solver: 使用指定的solver求解，默认为 None，表示使用默认的 solver
    :param risk_model: 风险模型版本，支持 v1/v2
    :param solver_options: solver 参数，如对于 MOSEK，可以传入 mosek_params={...}
    :return: pd.Series 组合最优化权重
    )doc";

constexpr const char *DIAGNOSE_NOTE =
    "velquor.constraint.diagnose(...) with the same arguments lists the constraints that must give and by how much";

nb::object portfolio_optimize(pyapi::Arguments &args) {
    Request request = assemble(args);
    if (request.early_result.is_valid()) return request.early_result;
    try {
        return solve(request);
    } catch (nb::python_error &e) {
        // An infeasible request keeps the status as its message; a note tells where to look next.
        auto m = self();
        nb::object cp = m.attr("cp");
        if (pyapi::matches(e, m.attr("OptimizationFailed"))) {
            nb::object reported = e.value().attr("args");
            nb::object status = nb::len(reported) == 1 ? pyapi::getitem(reported, nb::int_(0)) : nb::none();
            if (nb::isinstance<nb::str>(status) &&
                (pyapi::compare(status, cp.attr("INFEASIBLE"), pyapi::Cmp::eq) ||
                 pyapi::compare(status, cp.attr("INFEASIBLE_INACCURATE"), pyapi::Cmp::eq)))
                e.value().attr("add_note")(nb::str(DIAGNOSE_NOTE));
        }
        throw;
    }
}

}  // namespace

void bind_driver(nb::module_ &m) {
    m.attr("DEFAULT_OBJECTIVE") = m.attr("MinVariance")();

    // The defaults are evaluated once, here, like a `def` statement's: rebinding DEFAULT_OBJECTIVE later
    // does not change them.
    pyapi::Signature sig;
    sig.positional = {"order_book_ids", "date",      "objective", "bnds",   "cons",       "benchmark",
                      "cov_model",      "factor_risk_aversion", "specific_risk_aversion", "solver", "risk_model"};
    sig.defaults = {m.attr("DEFAULT_OBJECTIVE"),
                    nb::none(),
                    nb::none(),
                    nb::none(),
                    m.attr("CovModel").attr("FACTOR_MODEL_DAILY"),
                    nb::float_(1.0),
                    nb::float_(1.0),
                    nb::none(),
                    m.attr("RiskModel").attr("V1")};
    sig.varkw = "solver_options";
    params = DriverParams{sig.param("order_book_ids"), sig.param("date"), sig.param("objective"), sig.param("bnds"),
                          sig.param("cons"), sig.param("benchmark"), sig.param("cov_model"),
                          sig.param("factor_risk_aversion"), sig.param("specific_risk_aversion"), sig.param("solver"),
                          sig.param("risk_model")};
    pyapi::define(m, {"portfolio_optimize", std::move(sig), portfolio_optimize, DOC});
}

}  // namespace velquor::optimize
