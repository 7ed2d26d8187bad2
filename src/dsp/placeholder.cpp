// placeholder so the skeleton configures; replaced by the first component
namespace solvantis {}
