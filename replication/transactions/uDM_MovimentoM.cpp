#include "uDM_MovimentoM.h"

#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"
#include "replication/core/cl_Funcoes.h"

#include <QStringList>

#include <iterator>

namespace {

constexpr bool kOwnColumns = false;
constexpr bool kConstantDestination = true;

// Provider, data set, alias, order (nullptr: first key), destination column, packet fields.
constexpr TMovimentoMEntry kCatalogue[] = {
    // 1 TBVENDA, 63 fields
    {"DspVenda", "TbVenda", "VEN", nullptr, kOwnColumns,
     "`PKVENDA` int K R; `PKFILIAL` int K R; `PKCLIENTE` int; `PKFCLIENTE` int; `PKFUNCIONARIO` int; "
     "`PKFFUNCIONARIO` int; `PKCONDICAO` int; `PKFCONDICAO` int; `PKCUPOM` int; `PKFCUPOM` int; "
     "`PKFINANCIADORA` int; `PKFFINANCIADORA` int; `PKUSUARIO` int; `PKFUSUARIO` int; `DTVENDA` date; "
     "`HRVENDA` time; `TOTALVENDA` dec 15.3; `OBSERVACAO` memo; `NRNOTAFISCAL` str 10; `FECHADA` int; "
     "`NRCONTRATO` str 10; `TPVENDA` int; `DTFECHAMENTO` date; `DESCONTO` dec 15.3; "
     "`DESCONTOLOJA` dec 15.3; `NROR` int; `EXPORTADO` int; `PKPROMOCAO` int; `DEVOLVIDA` int; "
     "`NRPROPOSTA` str 20; `CDAUTORIZACAO` str 20; `NRCUPOM` str 10; `APAVULSO` int; `HRFECHAMENTO` time; "
     "`VLCOMISSAO` dec 15.3; `VLCOMISSAOGR` dec 15.3; `VLCOMISSAOFI` dec 15.3; `REPLICAR` int; "
     "`VLCOMISSAOFP` dec 15.3; `CDCONTRATO` str 20 K R; `ACRESCIMO` dec 15.3; "
     "`DESCONTOCHEQUEOPER` dec 15.3; `DESCONTOCLUBEOPER` dec 15.3; `DESCONTOPLANOOPER` dec 15.3; "
     "`PKPEDIDO` int; `PKFPEDIDO` int; `NRPONTOS` dec 15.3; `PKACAO` int; `NRPROTOCOLO` str 20; "
     "`NRPROTOCOLOUNICO` str 20; `VLREALBONUSOPERADORA` dec 15.3; `ACRESCONDICAO` dec 15.3; "
     "`DESCOCONDICAO` dec 15.3; `ACRESMANUAL` dec 15.3; `DESCOMANUAL` dec 15.3; `FINANCEIROPENDENTE` int; "
     "`PROTOCOLOGED` str 20; `CANCELADA` int; `IDDESCONTOAUTOMATICO` small; `PKTPVENDA` int; "
     "`NRPREVENDA` int; `DIAFATURA` int; `FIDELIDADE` int"},
    // 2 TBITVENDA, 37 fields
    {"DspItVenda", "TbItVenda", "ITVEN", nullptr, kOwnColumns,
     "`PKITVENDA` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `PKPHABIL` int; "
     "`PKFPHABIL` int; `PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; "
     "`QUANTIDADE` dec 15.5; `VLUNITARIO` dec 15.3; `VLTOTAL` dec 15.3; `DESCONTO` dec 15.3; "
     "`NRSEQUENCIAL` int; `VLCUSTO_ATUAL` dec 15.3; `TPHABILITACAO` int; `DEVOLVIDO` int; "
     "`DESCONTOR` dec 15.3; `VLCOMISSAOGR` dec 15.3; `RECEBEDESCONTO` int; `POLITICAATIVACAO` int; "
     "`PKTPPROMOCAO` int; `CDCONTRATO` str 20 K R; `UPGRADE` int; `ACRESCIMOR` dec 15.3; `ADITIVO` int; "
     "`PKPHABILATIVADO` int; `PKFPHABILATIVADO` int; `PKPACOTEDADOS` int; `PORTABILIDADENUMERICA` small; "
     "`NRPORTABILIDADENUMERICA` str 20; `PKPACOTEATIVADO` int; `PKPACOTEBLACKBERRY` int; "
     "`PKREMUNERACAORECARGA` int; `ITEMCANCELADO` small; `PKTIPODEOFERTA` int"},
    // 3 TBCONDIVENDA, 10 fields
    {"DspCondiVenda", "TbCondiVenda", "CONDVEN", nullptr, kOwnColumns,
     "`PKCONDIVENDA` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `PKCONDICAO` int; "
     "`PKFCONDICAO` int; `DESCONTO` dec 15.2; `JUROS` dec 15.2; `VLVENDA` dec 15.3; "
     "`CDCONTRATO` str 20 K R"},
    // 4 TBITCONDIVENDA, 14 fields
    {"DspItCondiVenda", "TbItCondiVenda", "ITCONDVEN", "PKCONDIVENDA, PKFCONDIVENDA, NRPARCELA", kOwnColumns,
     "`PKITCONDIVENDA` int K R; `PKFILIAL` int K R; `PKCONDIVENDA` int; `PKFCONDIVENDA` int; "
     "`PKHISTORICO` int; `PKFHISTORICO` int; `PKMOEDA` int; `NRPARCELA` int; `VENCIMENTO` date; "
     "`VALOR` dec 15.3; `NRDOCTO` str 20; `ENTRADA` int; `CMC7` str 50; `CDCONTRATO` str 20 K R"},
    // 5 TBSWAP, 10 fields
    {"DspSwap", "TbSwap", "SWAP", nullptr, kOwnColumns,
     "`PKSWAP` int K R; `PKFILIAL` int K R; `SESWAP` str 20; `NMSWAP` str 30; `VLSWAP` dec 15.3; "
     "`PKVENDA` int; `PKFVENDA` int; `NRNOTAFISCAL` str 10; `CDCONTRATO` str 20 K R; `LANCADO` int"},
    // 6 TBDOCVENDA, 8 fields
    {"DspDocVenda", "TbDocVenda", "DOCVEN", nullptr, kOwnColumns,
     "`PKDOCVENDA` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `PKDOCUMENTO` int; "
     "`PKFDOCUMENTO` int; `EXCLUIDO` int; `CDCONTRATO` str 20 K R"},
    // 7 TBOBSDOCVENDA, 7 fields
    {"DspObsDocVenda", "TbObsDocVenda", "OBSDOC", nullptr, kOwnColumns,
     "`PKOBSDOCVENDA` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `OBSDOCVENDA` blob; "
     "`EXCLUIDO` int; `CDCONTRATO` str 20 K R"},
    // 8 TBCOMPRA, 23 fields
    {"DspCompra", "TbCompra", "COM", nullptr, kOwnColumns,
     "`PKCOMPRA` int K R; `PKFILIAL` int K R; `PKFORNECEDOR` int; `PKFFORNECEDOR` int; `NRNOTA` str 10; "
     "`SERIE` str 10; `VLNOTA` dec 15.3; `VLDESCONTO` dec 15.3; `VLJURO` dec 15.3; `DTNOTA` date; "
     "`OBSERVACAO` memo; `DTFECHAMENTO` date; `FECHADA` int; `EXPORTADO` int; `DTCOMPRA` date; "
     "`HRCOMPRA` time; `HRFECHAMENTO` time; `PRMARGEMNOTA` dec 15.3; `PRDESCOPAGTOANT` dec 15.3; "
     "`CDCONTRATO` str 20 K R; `VLPRODUTO` dec 15.3; `PKCOMPRAOPERADORA` int; `TPORIGEM` int"},
    // 9 TBITCOMPRA, 14 fields
    {"DspItCompra", "TbItCompra", "ITCOM", nullptr, kOwnColumns,
     "`PKITCOMPRA` int K R; `PKFILIAL` int K R; `PKCOMPRA` int; `PKFCOMPRA` int; `PKPRODUTO` int; "
     "`PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; `QUANTIDADE` dec 15.2; `VALOR` dec 15.3; "
     "`CDCONTRATO` str 20 K R; `PKPHABILCOMPRA` int; `PKFPHABILCOMPRA` int; "
     "`VLCOMPRABASECALCPRICE` dec 15.2"},
    // 10 TBCONDICOMPRA, 10 fields
    {"DspCondiCompra", "TbCondiCompra", "CONDCOM", nullptr, kOwnColumns,
     "`PKCONDICOMPRA` int K R; `PKFILIAL` int K R; `PKCOMPRA` int; `PKFCOMPRA` int; `PKCONDICAO` int; "
     "`PKFCONDICAO` int; `DESCONTO` dec 15.2; `JUROS` dec 15.2; `VLCOMPRA` dec 15.3; "
     "`CDCONTRATO` str 20 K R"},
    // 11 TBITCONDICOMPRA, 13 fields
    {"DspItCondiCompra", "TbItCondiCompra", "ITCONDCOM", "PKCONDICOMPRA, PKFCONDICOMPRA, NRPARCELA", kOwnColumns,
     "`PKITCONDICOMPRA` int K R; `PKFILIAL` int K R; `PKCONDICOMPRA` int; `PKFCONDICOMPRA` int; "
     "`PKHISTORICO` int; `PKFHISTORICO` int; `PKMOEDA` int; `NRPARCELA` int; `VENCIMENTO` date; "
     "`VALOR` dec 15.3; `NRDOCTO` str 20; `ENTRADA` int; `CDCONTRATO` str 20 K R"},
    // 12 TBDEVOLUCAO, 18 fields
    {"DspDevolucao", "TbDevolucao", "DEV", nullptr, kOwnColumns,
     "`PKDEVOLUCAO` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `NRNOTAFISCAL` str 10; "
     "`DTDEVOLUCAO` date; `VLDEVOLUCAO` dec 15.3; `FECHADA` int; `DTFECHAMENTO` date; `EXPORTADO` int; "
     "`HRDEVOLUCAO` time; `HRFECHAMENTO` time; `CDCONTRATO` str 20 K R; `DESCONTO` dec 15.3; "
     "`DESCONTOLOJA` dec 15.3; `ACRESCIMO` dec 15.3; `PKFUNCIONARIO` int; `PKFFUNCIONARIO` int"},
    // 13 TBITDEVOLUCAO, 13 fields
    {"DspItDevolucao", "TbItDevolucao", "ITDEV", nullptr, kOwnColumns,
     "`PKITDEVOLUCAO` int K R; `PKFILIAL` int K R; `PKDEVOLUCAO` int; `PKFDEVOLUCAO` int; "
     "`PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; `QUANTIDADE` dec 15.3; "
     "`VLUNITARIO` dec 15.3; `DESCONTO` dec 15.3; `VLTOTAL` dec 15.3; `CDCONTRATO` str 20 K R"},
    // 14 TBDEVOLUCAOCOMPRA, 16 fields
    {"DspDevolucaoCompra", "TbDevolucaoCompra", "DEV", nullptr, kOwnColumns,
     "`PKDEVOLUCAO` int K R; `PKFILIAL` int K R; `PKFORNECEDOR` int; `PKFFORNECEDOR` int; "
     "`NRNOTAFISCAL` str 10; `DTDEVOLUCAO` date; `VLDEVOLUCAO` dec 15.3; `FECHADA` int; "
     "`DTFECHAMENTO` date; `EXPORTADO` int; `HRDEVOLUCAO` time; `HRFECHAMENTO` time; "
     "`CDCONTRATO` str 20 K R; `TPORIGEM` int; `PKFUNCIONARIO` int; `PKFFUNCIONARIO` int"},
    // 15 TBITDEVOLUCAOCOMPRA, 13 fields
    {"DspItDevolucaoCompra", "TbItDevolucaoCompra", "ITDEV", nullptr, kOwnColumns,
     "`PKITDEVOLUCAO` int K R; `PKFILIAL` int K R; `PKDEVOLUCAO` int; `PKFDEVOLUCAO` int; "
     "`PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; `QUANTIDADE` dec 15.3; "
     "`VLUNITARIO` dec 15.3; `DESCONTO` dec 15.3; `VLTOTAL` dec 15.3; `CDCONTRATO` str 20 K R"},
    // 16 TBTROCA, 16 fields
    {"DspTroca", "TbTroca", "TRO", nullptr, kOwnColumns,
     "`PKTROCA` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `PKNOVAVENDA` int; "
     "`PKFNOVAVENDA` int; `NRNOTAFISCAL` str 10; `DTVENDA` date; `PKDEVOLUCAO` int; `PKFDEVOLUCAO` int; "
     "`NRNOTADEVOLUCAO` str 10; `DTDEVOLUCAO` date; `DTTROCA` date; `VLTROCA` dec 15.3; `EXPORTADO` int; "
     "`CDCONTRATO` str 20 K R"},
    // 17 TBITTROCA, 19 fields
    {"DspItTroca", "TbItTroca", "ITTRO", nullptr, kOwnColumns,
     "`PKITTROCA` int K R; `PKFILIAL` int K R; `PKTROCA` int; `PKFTROCA` int; `PKPHABIL` int; "
     "`PKFPHABIL` int; `PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; "
     "`QUANTIDADE` dec 15.5; `VLUNITARIO` dec 15.3; `VLTOTAL` dec 15.3; `DESCONTO` dec 15.3; "
     "`NRSEQUENCIAL` int; `VLCUSTO_ATUAL` dec 15.3; `TPHABILITACAO` int; `DEVOLVIDO` int; "
     "`CDCONTRATO` str 20 K R"},
    // 18 TBSERVICOEXECUTADO, 29 fields
    {"DspServicoExecutado", "TbServicoExecutado", "SERV", nullptr, kOwnColumns,
     "`PKSERVICOEXECUTADO` int K R; `PKFILIAL` int K R; `PKCLIENTE` int; `PKFCLIENTE` int; "
     "`PKSERVICO` int; `PKFSERVICO` int; `PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; "
     "`PKFSERIAL` int; `NRSEQUENCIAL` str 50; `NRAP_SERIAL` str 50; `NRCHIP_SERIAL` str 50; "
     "`NRTELEFONE` str 50; `DTEXECUCAO` date; `EXPORTADO` int; `NRNOTAFISCAL` str 10; `PKPHABIL` int; "
     "`PKFPHABIL` int; `PKFUNCIONARIO` int; `PKFFUNCIONARIO` int; `PKTECNOLOGIA` int; `EXCLUIDO` int; "
     "`CDCONTRATO` str 20 K R; `NRAP_SERIAL_HEX` str 50; `NRPROTOCOLO` str 20; `PKVENDA` int; "
     "`PKFVENDA` int; `PKTPSERVICO` int"},
    // 19 TBTRANSFERENCIA, 14 fields
    {"DspTransferencia", "TbTransferencia", "TRANSF", nullptr, kOwnColumns,
     "`PKTRANSFERENCIA` int K R; `PKFILIAL` int K R; `PKFILIALDESTINO` int; `DTTRANSFERENCIA` date; "
     "`HRTRANSFERENCIA` time; `VLTRANSFERENCIA` dec 15.3; `OBSERVACAO` blob; `STATUS` small; "
     "`DTEXPORTACAO` date; `EXPORTADO` int; `NRNOTAFISCAL` str 10; `HREXPORTACAO` time; "
     "`CDCONTRATO` str 20 K R; `SERIE` str 10"},
    // 20 TBITTRANSFERENCIA, 13 fields
    {"DspItTransferencia", "TbItTransferencia", "ITTRANSF", nullptr, kOwnColumns,
     "`PKITTRANSFERENCIA` int K R; `PKFILIAL` int K R; `PKTRANSFERENCIA` int; `PKFTRANSFERENCIA` int; "
     "`PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; `QUANTIDADE` dec 15.5; "
     "`VLCOMPRA` dec 15.3; `STATUS` small; `PKFILIALDESTINO` int; `CDCONTRATO` str 20 K R"},
    // 21 TBIMPORTATRANSFERENCIA, 15 fields
    {"DspImportaTransferencia", "TbImportaTransferencia", "IMPTRANSF", nullptr, kOwnColumns,
     "`PKTRANSFERENCIA` int K R; `PKFILIAL` int K R; `PKFILIALDESTINO` int; `DTTRANSFERENCIA` date; "
     "`HRTRANSFERENCIA` time; `VLTRANSFERENCIA` dec 15.3; `OBSERVACAO` blob; `DTEXPORTACAO` date; "
     "`DTIMPORTACAO` date; `EXPORTADO` int; `HREXPORTACAO` time; `HRIMPORTACAO` time; "
     "`CDCONTRATO` str 20 K R; `NRNOTAFISCAL` str 10; `SERIE` str 10"},
    // 22 TBITIMPORTATRANSFERENCIA, 14 fields
    {"DspItImportaTransferencia", "TbItImportaTransferencia", "ITIMPTRANSF", "PKTRANSFERENCIA", kOwnColumns,
     "`PKITTRANSFERENCIA` int K R; `PKFILIAL` int K R; `PKTRANSFERENCIA` int; `PKFTRANSFERENCIA` int; "
     "`PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; `QUANTIDADE` dec 15.5; "
     "`VLCOMPRA` dec 15.3; `NRNOTA` str 10; `DTNOTA` date; `PKFILIALDESTINO` int; `CDCONTRATO` str 20 K R"},
    // 23 TBROUBO, 16 fields
    {"DspRoubo", "TbRoubo", "ROU", nullptr, kOwnColumns,
     "`PKROUBO` int K; `PKFILIAL` int K; `PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; "
     "`PKFSERIAL` int; `QUANTIDADE` dec 15.3; `VLUNITARIO` dec 15.3; `VLTOTAL` dec 15.3; "
     "`VLCUSTO_ATUAL` dec 15.3; `HISTORICO` blob; `DTBAIXA` date; `EXCLUIDO` int; `CDCONTRATO` str 20 K; "
     "`PKFUNCIONARIO` int; `PKFFUNCIONARIO` int"},
    // 24 TBSERIAL, 21 fields
    {"DspSerial", "TbSerial", "SER", nullptr, kOwnColumns,
     "`PKSERIAL` int K R; `PKFILIAL` int K R; `NRAP_SERIAL` str 50; `NRCHIP_SERIAL` str 50; "
     "`NRTELEFONE` str 20; `NRSEQUENCIAL` str 20; `NRAP_SERIAL_HEX` str 50; `PKPRODUTO` int; "
     "`PKFPRODUTO` int; `STATUS` int; `PKSERIALORIGINAL` int; `PKFILIALORIGINAL` int; `EXPORTADO` int; "
     "`CDCONTRATO` str 20 K R; `NROUTRO_SERIAL` str 50; `NRRECARGA_SERIAL` str 100; "
     "`NRRECARGA_VENDIDA` str 50; `VLVENDA` dec 15.3; `VLVENDANACOMPRA` dec 15.3; `PKLOCALESTOQUE` int; "
     "`PKFLOCALESTOQUE` int"},
    // 25 TBQUANTIDADE, 10 fields
    {"DspQuantidade", "TbQuantidade", "QUANTIDADE", "PKPRODUTO, PKFPRODUTO, PKFILIAL", kOwnColumns,
     "`PKPRODUTO` int K R; `PKFPRODUTO` int K R; `PKFILIAL` int K R; `QUANTIDADE` dec 15.5; "
     "`EXPORTADO` int; `VLULTIMACOMPRA` dec 15.3; `VLMEDIOLUCROREAL` dec 15.3; `CDCONTRATO` str 20 K R; "
     "`VLMEDIOLUCROREALBENEFICIO` dec 15.3; `VLULTIMACOMPRABENEFICIO` dec 15.3"},
    // 26 TBMOVDIARIO, 18 fields
    {"DspMovDiario", "TbMovDiario", "MOV", nullptr, kOwnColumns,
     "`PKMOVDIARIO` int K R; `PKFILIAL` int K R; `DTMOVDIARIO` date; `TPMOVDIARIO` int; "
     "`NFMOVDIARIO` str 20; `VLMOVDIARIO` dec 15.3; `JUMOVDIARIO` str 260; `STATUS` small; `PKMOEDA` int; "
     "`EXPORTADO` int; `TPCREDOR` int; `PKCREDOR` int; `PKFCREDOR` int; `PKPLANOCONTA` int; "
     "`PKFPLANOCONTA` int; `ESTORNADO` int; `EXCLUIDO` int; `CDCONTRATO` str 20 K R"},
    // 27 TBCLIENTE, 38 fields
    {"DspCliente", "TbCliente", "CLI", nullptr, kOwnColumns,
     "`PKCLIENTE` int K R; `PKFILIAL` int K R; `NMCLIENTE` str 100; `TPATIVO` int; `TPPESSOA` int; "
     "`NRCPF` str 14; `NRIDENTIDADE` str 20; `ORGAORG` str 10; `DTNASCIMENTO` date; `TPSEXO` int; "
     "`NRCGC` str 18; `NRINSCRICAO` str 20; `TPSIMPLES` int; `NMLOGRADOURO` str 100; `NMBAIRRO` str 100; "
     "`NRCEP` str 10; `NMCIDADE` str 100; `SGESTADO` char 2; `NMCOMPLEMENTO` str 100; "
     "`NRTELEFONERES` str 20; `NRTELEFONECOM` str 20; `NRTELEFONECEL` str 20; `EMAIL` str 100; "
     "`NMPAI` str 100; `NMMAE` str 100; `DTCADASTRO` date; `EXCLUIDO` small; `EXPORTADO` int; "
     "`DIAANIVER` int; `MESANIVER` int; `PKVENDEDOR` int; `PKFVENDEDOR` int; `OBSERVACAO` memo; "
     "`CDCONTRATO` str 20 K R; `NRLOGRADOURO` str 10; `CDMUNICIPIO` int; `CDPAIS` int; `TPESTADOCIVIL` int"},
    // 28 TBPLANOCONTA, 17 fields
    {"DspPlanoConta", "TbPlanoConta", "TAB", nullptr, kConstantDestination,
     "`PKPLANOCONTA` int K R; `PKFILIAL` int K R; `CDCONTA` str 20; `NMCONTA` str 100; `PKHISTORICO` int; "
     "`PKFHISTORICO` int; `NIVEL_01` char 1; `NIVEL_02` char 3; `NIVEL_03` char 3; `VISIVEL` int; "
     "`PROVISAO` char 1; `EFETIVACAO` char 1; `DISPONIVEL` char 1; `CONTAFIXA` int; `EXCLUIDO` small; "
     "`CDCONTRATO` str 20 K R; `PKFILIALDESTINO` int K R"},
    // 29 TBHISTORICO, 7 fields
    {"DspHistorico", "TbHistorico", "TAB", nullptr, kConstantDestination,
     "`PKHISTORICO` int K R; `PKFILIAL` int K R; `NMHISTORICO` str 200; `EXCLUIDO` small; "
     "`EXPORTADO` int; `CDCONTRATO` str 20 K R; `PKFILIALDESTINO` int K R"},
    // 30 TBPREVISAO, 43 fields
    {"DspPrevisao", "TbPrevisao", "TAB", nullptr, kConstantDestination,
     "`PKPREVISAO` int K R; `PKFILIAL` int K R; `VLLANCTO` dec 15.3; `NRPARCELA` int; `PKMOEDA` int; "
     "`TPLANCTO` char 1; `TPORIGEM` small; `PKORIGEM` int; `PKFORIGEM` int; `TPCREDOR` small; "
     "`PKCREDOR` int; `PKFCREDOR` int; `NRDOCTO` str 20; `PKPLANOCONTA` int; `PKFPLANOCONTA` int; "
     "`PKHISTORICO` int; `PKFHISTORICO` int; `DTLANCTO` date; `DTVENCTO` date; `DTPAGTO` date; "
     "`NRCUPOM` str 10; `NRNOTA` str 10; `NRREDETEF` str 10; `GRUPOCONTA` char 1; `ESTORNO` small; "
     "`APRAZO` small; `QUITADO` small; `PKCXFISICO` int; `PKFCXFISICO` int; `OBSERVACAO` memo; "
     "`PKSERIAL` int; `PKFSERIAL` int; `TPFATURA` int; `PKFATURA` int; `PKFFATURA` int; `CMC7` str 50; "
     "`TPRECEITA` int; `PKABREFECHACAIXA` int; `PKFABREFECHACAIXA` int; `CDCONTRATO` str 20 K R; "
     "`PKFILIALDESTINO` int K R; `TPREGISTRO` int; `PKFILIALORIGINAL` int K R"},
    // 31 TBEFETIVACAO, 45 fields
    {"DspEfetivacao", "TbEfetivacao", "TAB", nullptr, kConstantDestination,
     "`PKEFETIVACAO` int K R; `PKFILIAL` int K R; `PKPREVISAO` int; `PKFPREVISAO` int; "
     "`VLLANCTO` dec 15.3; `NRPARCELA` int; `PKMOEDA` int; `TPLANCTO` char 1; `TPORIGEM` small; "
     "`PKORIGEM` int; `PKFORIGEM` int; `TPCREDOR` small; `PKCREDOR` int; `PKFCREDOR` int; "
     "`NRDOCTO` str 20; `PKPLANOCONTA` int; `PKFPLANOCONTA` int; `PKHISTORICO` int; `PKFHISTORICO` int; "
     "`DTLANCTO` date; `DTVENCTO` date; `DTPAGTO` date; `NRCUPOM` str 10; `NRNOTA` str 10; "
     "`NRREDETEF` str 10; `GRUPOCONTA` char 1; `ESTORNO` small; `APRAZO` small; `QUITADO` small; "
     "`PKCXFISICO` int; `PKFCXFISICO` int; `OBSERVACAO` memo; `PKSERIAL` int; `PKFSERIAL` int; "
     "`TPFATURA` int; `PKFATURA` int; `PKFFATURA` int; `CMC7` str 50; `TPRECEITA` int; "
     "`PKABREFECHACAIXA` int; `PKFABREFECHACAIXA` int; `CDCONTRATO` str 20 K R; "
     "`PKFILIALDESTINO` int K R; `TPREGISTRO` int; `PKFILIALORIGINAL` int K R"},
    // 32 TBDISPONIVEL, 46 fields
    {"DspDisponivel", "TbDisponivel", "TAB", nullptr, kConstantDestination,
     "`PKDISPONIVEL` int K R RO; `PKFILIAL` int K R RO; `PKEFETIVACAO` int; `PKFEFETIVACAO` int; "
     "`VLLANCTO` dec 15.3; `NRPARCELA` int; `PKMOEDA` int; `TPLANCTO` char 1; `TPORIGEM` small; "
     "`PKORIGEM` int; `PKFORIGEM` int; `TPCREDOR` small; `PKCREDOR` int; `PKFCREDOR` int; "
     "`NRDOCTO` str 20; `PKPLANOCONTA` int; `PKFPLANOCONTA` int; `PKHISTORICO` int; `PKFHISTORICO` int; "
     "`DTLANCTO` date; `DTVENCTO` date; `DTPAGTO` date; `NRCUPOM` str 10; `NRNOTA` str 10; "
     "`NRREDETEF` str 10; `GRUPOCONTA` char 1; `ESTORNO` small; `APRAZO` small; `QUITADO` small; "
     "`PKCXFISICO` int; `PKFCXFISICO` int; `OBSERVACAO` memo; `PKSERIAL` int; `PKFSERIAL` int; "
     "`TRANSFERIDO` int; `TPFATURA` int; `PKFATURA` int; `PKFFATURA` int; `CMC7` str 50; `TPRECEITA` int; "
     "`PKABREFECHACAIXA` int; `PKFABREFECHACAIXA` int; `CDCONTRATO` str 20 K RO; "
     "`PKFILIALDESTINO` int K RO; `TPREGISTRO` int; `PKFILIALORIGINAL` int K R"},
    // 33 TBFATOGERADOR, 28 fields
    {"DspFatoGerador", "TbFatoGerador", "TAB", nullptr, kConstantDestination,
     "`PKFATOGERADOR` int K R; `PKFILIAL` int K R; `VLLANCTO` dec 15.3; `TPLANCTO` char 1; "
     "`TPORIGEM` small; `PKORIGEM` int; `PKFORIGEM` int; `TPCREDOR` small; `PKCREDOR` int; "
     "`PKFCREDOR` int; `PKPLANOCONTA` int; `PKFPLANOCONTA` int; `PKHISTORICO` int; `PKFHISTORICO` int; "
     "`DTLANCTO` date; `NRCUPOM` str 10; `NRNOTA` str 10; `NRREDETEF` str 10; `GRUPOCONTA` char 1; "
     "`ESTORNO` small; `OBSERVACAO` memo; `TPRECEITA` int; `PKABREFECHACAIXA` int; "
     "`PKFABREFECHACAIXA` int; `CDCONTRATO` str 20 K R; `PKFILIALDESTINO` int K R; `TPREGISTRO` int; "
     "`PKFILIALORIGINAL` int K R"},
    // 34 TBABREFECHACAIXA, 11 fields
    {"DspAbreFechaCaixa", "TbAbreFechaCaixa", "TAB", nullptr, kConstantDestination,
     "`PKABREFECHACAIXA` int K R; `PKFILIAL` int K R; `PKCAIXA` int; `PKFCAIXA` int; `DTABRECAIXA` date; "
     "`HRABRECAIXA` time; `DTFECHACAIXA` date; `HRFECHACAIXA` time; `STATUS` small; "
     "`CDCONTRATO` str 20 K R; `PKFILIALDESTINO` int K R"},
    // 35 TBESTOQUE, 14 fields
    {"DspEstoque", "TbEstoque", "EST", nullptr, kOwnColumns,
     "`PKESTOQUE` int K R; `PKFILIAL` int K R; `DATA` date; `NMMOVIMENTACAO` str 5; `PKPRODUTO` int; "
     "`PKFPRODUTO` int; `QTDMOVIMENTACAO` dec 15.3; `VLMOVIMENTACAO` dec 15.3; "
     "`VLMEDIOLUCROREAL` dec 15.3; `QUANTIDADE` dec 15.3; `CDCONTRATO` str 20 K R; `EXCLUIDO` int; "
     "`VLMOVIMENTACAOBENEFICIO` dec 15.3; `VLMEDIOLUCROREALBENEFICIO` dec 15.3"},
    // 36 TBCAIXA, 9 fields
    {"DspCaixa", "TbCaixa", "TAB", nullptr, kConstantDestination,
     "`PKCAIXA` int K R; `PKFILIAL` int K R; `NMCAIXA` str 100; `EXCLUIDO` int; `CDSENHA` str 20; "
     "`PKPLANOCONTA` int; `PKFPLANOCONTA` int; `CDCONTRATO` str 20 K R; `PKFILIALDESTINO` int K R"},
    // 37 TBESTOQUEEQUIPE, 15 fields
    {"DspEstoqueEquipe", "TbEstoqueEquipe", "ESTEQ", nullptr, kOwnColumns,
     "`PKESTOQUEEQUIPE` int K R; `PKFILIAL` int K R; `PKEQUIPE` int; `PKFEQUIPE` int; `PKPRODUTO` int; "
     "`PKFPRODUTO` int; `PKSERIAL` int; `PKFSERIAL` int; `DTENTREGA` date; `QTDE` dec 15.3; "
     "`PKVENDA` int; `PKFVENDA` int; `DTLIBERACAO` date; `TPLIBERACAO` small; `CDCONTRATO` str 20 K"},
    // 38 TBFORMAPAGTO, 12 fields
    {"DspFormaPagto", "TbFormaPagto", "FPG", nullptr, kOwnColumns,
     "`PKFORMAPAGTO` int R; `PKFILIAL` int R; `PKORIGEM` int; `PKFORIGEM` int; `TPORIGEM` int; "
     "`PKMOEDA` int; `VALOR` dec 15.3; `NRPARCELAS` int; `PKFINANCEIRA` int; `PKFFINANCEIRA` int; "
     "`CDCONTRATO` str 20; `PKMOEDAFINANCEIRO` int"},
    // 39 TBITFORMAPAGTO, 13 fields
    {"DspItFormaPagto", "TbItFormaPagto", "ITFPG", nullptr, kOwnColumns,
     "`PKITFORMAPAGTO` int R; `PKFILIAL` int R; `PKFORMAPAGTO` int; `PKFFORMAPAGTO` int; `PKORIGEM` int; "
     "`PKFORIGEM` int; `TPORIGEM` int; `NRPARCELA` int; `DTVENCIMENTO` date; `VALOR` dec 15.3; "
     "`NRDOCTO` str 50; `CMC7` str 50; `CDCONTRATO` str 20"},
    // 40 TBFORMAPAGTOFINANCEIRA, 13 fields
    {"DspFormaPagtoFinanceira", "TbFormaPagtoFinanceira", "FPGFIN", "pkFORMAPAGTOFINANCEIRA", kOwnColumns,
     "`PKFORMAPAGTOFINANCEIRA` int R; `PKFILIAL` int R; `PKFINANCEIRA` int; `PKFFINANCEIRA` int; "
     "`PKMOEDA` int; `DTINICIOVIGENCIA` date; `NRPARCELAS` int; `PERETENCAO` dec 15.3; "
     "`RETENCAOSOBRETOT` small; `PAGTOPARCIAL` small; `NRDIASUTEIS` int; `EXCLUIDO` small; "
     "`CDCONTRATO` str 20"},
    // 41 TBCANCELAMENTO, 11 fields
    {"DspCancelamento", "tbCancelamento", "CANC", "PKVENDA", kOwnColumns,
     "`PKCANCELAMENTO` int K R; `PKFILIAL` int K R; `PKVENDA` int; `PKFVENDA` int; `PKCUPOM` int; "
     "`PKFCUPOM` int; `NRCUPOM` int; `DTCANCELAMENTO` date; `HRCANCELAMENTO` time; `FECHADA` small; "
     "`CDCONTRATO` str 20 K R"},
    // 42 TBITCANCELAMENTO, 15 fields
    {"DspItCancelamento", "tbItCancelamento", "ITCANC", nullptr, kOwnColumns,
     "`PKITCANCELAMENTO` int K R; `PKFILIAL` int K R; `PKCANCELAMENTO` int; `PKFCANCELAMENTO` int; "
     "`PKITVENDA` int; `PKFITVENDA` int; `PKPRODUTO` int; `PKFPRODUTO` int; `PKSERIAL` int; "
     "`PKFSERIAL` int; `QUANTIDADE` dec 15.5; `VLUNITARIO` dec 15.3; `VLDESCONTO` dec 15.3; "
     "`VLTOTAL` dec 15.3; `CDCONTRATO` str 20 K R"},
    // 43 TBLOGVENDAPRECOOFFLINE, 15 fields
    {"dsLOGVENDAPRECOOFFLINE", "TBLOGVENDAPRECOOFFLINE", "LOG", nullptr, kOwnColumns,
     "`PKLOGVENDAPRECOOFFLINE` int R; `PKFILIAL` int R; `PKVENDA` int; `PKFVENDA` int; `PKITVENDA` int; "
     "`PKFITVENDA` int; `PKUSUARIO` int; `PKFUSUARIO` int; `DATA` date; `HORA` time; "
     "`VALORAPARELHO` dec 15.3; `VALORAPARELHOAVISTA` dec 15.3; `VALORAPARELHOPRE` dec 15.3; "
     "`VALORSIMCARD` dec 15.3; `CDCONTRATO` str 20"},
    // 44 TBOS, 39 fields
    {"DspOs", "TbOs", "OS", nullptr, kOwnColumns,
     "`PKOS` int K R; `PKFILIAL` int K R; `PKCLIENTE` int R; `PKFCLIENTE` int R; `PKFUNCIONARIO` int R; "
     "`PKFFUNCIONARIO` int R; `PKFINANCIADORA` int R; `PKFFINANCIADORA` int R; `PKCONDICAO` int R; "
     "`PKFCONDICAO` int R; `PKUSUARIO` int R; `PKFUSUARIO` int R; `CDPRIORIDADE` small; `NRCUPOM` str 20; "
     "`NRNOTAFISCAL` str 20; `PREOBSOS` memo; `POSOBSOS` memo; `TOTALOS` dec 15.3; `DTOS` date; "
     "`HROS` time; `FECHADA` small; `DTFECHAMENTO` date; `EXPORTADO` small; `PKASSISTENCIA` int; "
     "`PKFASSISTENCIA` int; `DEVOLVIDA` int; `PKORCAMENTO` int; `PKFORCAMENTO` int; "
     "`VLCOMISSAO` dec 15.3; `VLCOMISSAOSUPERVISOR` dec 15.3; `VLCOMISSAOGERENTE` dec 15.3; "
     "`FECHANDO` int; `PKESTACAO` int; `PKSITUACAOOS` int; `PKFSITUACAOOS` int; `NRPROPOSTA` str 20; "
     "`CDAUTORIZACAO` str 20; `FINANCEIROPENDENTE` int; `CDCONTRATO` str 20 K"},
    // 45 TBITPRODUTOOS, 15 fields
    {"DspItProdutoOS", "TbItProdutoOS", "ITPRODOS", nullptr, kOwnColumns,
     "`PKITPRODUTOOS` int K R; `PKFILIAL` int K R; `NRSEQUENCIAL` small; `PKOS` int R; `PKFOS` int R; "
     "`PKPRODUTO` int R; `PKFPRODUTO` int R; `QTPRODUTO` dec 15.5; `VLPRODUTO` dec 15.3; "
     "`DTPRODUTO` date; `HRPRODUTO` time; `EXCLUIDO` small; `VLDESCONTO` dec 15.3; `DEVOLVIDO` int; "
     "`CDCONTRATO` str 20 K"},
    // 46 TBITSERVICOOS, 16 fields
    {"DspItServicoOS", "TbItServicoOS", "ITSERVOS", nullptr, kOwnColumns,
     "`PKITSERVICOOS` int K R; `PKFILIAL` int K R; `NRSEQUENCIAL` small; `PKOS` int R; `PKFOS` int R; "
     "`PKSERVICOOS` int R; `PKFSERVICOOS` int R; `NMSERVICOOS` str 60; `QTSERVICOOS` dec 15.5; "
     "`VLSERVICOOS` dec 15.3; `DTSERVICOOS` date; `HRSERVICOOS` time; `EXCLUIDO` small; "
     "`VLDESCONTO` dec 15.3; `DEVOLVIDO` int; `CDCONTRATO` str 20 K"},
    // 47 TBITAPARELHOOS, 17 fields
    {"DspItAparelhoOS", "TbItAparelhoOS", "ITAPAROS", nullptr, kOwnColumns,
     "`PKITAPARELHOOS` int K R; `PKFILIAL` int K R; `PKOS` int R; `PKFOS` int R; `NRSEQUENCIAL` small; "
     "`NMAPARELHOOS` str 100; `ESNAPARELHOOS` str 20; `VLAPARELHOOS` dec 15.3; `EXCLUIDO` int; "
     "`NMPLANOAPARELHOOS` str 100; `ACESSORIO` str 1000; `DEFEITO` str 1000; `OBS` str 1000; "
     "`OPERADORA` str 20; `MARCA` str 20; `MODELO` str 20; `CDCONTRATO` str 20 K"},
    // 48 TBCONDIOS, 10 fields
    {"DspCondiOS", "TbCondiOS", "CONDOS", nullptr, kOwnColumns,
     "`PKCONDIOS` int K R; `PKFILIAL` int K R; `PKOS` int R; `PKFOS` int R; `PKCONDICAO` int R; "
     "`PKFCONDICAO` int R; `DESCONTO` dec 15.2; `JUROS` dec 15.2; `VLOS` dec 15.3; `CDCONTRATO` str 20 K"},
    // 49 TBITCONDIOS, 14 fields
    {"DspItCondiOS", "TbItCondiOS", "ITCONDOS", nullptr, kOwnColumns,
     "`PKITCONDIOS` int K R; `PKFILIAL` int K R; `PKCONDIOS` int R; `PKFCONDIOS` int R; "
     "`PKHISTORICO` int R; `PKFHISTORICO` int R; `PKMOEDA` int R; `NRPARCELA` int; `VENCIMENTO` date; "
     "`VALOR` dec 15.3; `NRDOCTO` str 20; `ENTRADA` int; `CMC7` str 50; `CDCONTRATO` str 20 K"},
    // 50 TBOSADICIONAIS, 17 fields
    {"DspOsAdicionais", "TbOsAdicionais", "OSADIC", nullptr, kOwnColumns,
     "`PKOSADICIONAIS` int K R; `PKFILIAL` int K R; `PKOS` int; `PKFOS` int; `COR` str 20; "
     "`PLACA` str 10; `KILOMETRAGEM` str 20; `NRCERTIFICADO` str 20; `DTINICIOVIGENCIA` date; "
     "`DTFIMVIGENCIA` date; `NMSEGURADORA` str 100; `NRAPOLICE` str 20; `TITULOIMP` str 1000; "
     "`PKSEGURADORA` int; `PKVENDA` int; `PKFVENDA` int; `CDCONTRATO` str 20 K"},
};

static_assert(std::size(kCatalogue) == 50);

QList<TCatalogueEntry> BuildCatalogue()
{
    QList<TCatalogueEntry> entries;
    for (const TMovimentoMEntry& e : kCatalogue)
        entries.append(TCatalogueEntry{QString::fromLatin1(e.ProviderName), QString::fromLatin1(e.DataSetName),
                                       MovimentoMStatement(e), QString::fromLatin1(e.FieldList)});
    return entries;
}

} // namespace

std::span<const TMovimentoMEntry> MovimentoMCatalogue() { return kCatalogue; }

QString MovimentoMStatement(const TMovimentoMEntry& entry)
{
    const QString table = entry.TableName();
    const QString alias = QString::fromLatin1(entry.Alias);
    const QString contract =
        QStringLiteral("  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO");

    QStringList lines{QStringLiteral("SELECT ") + alias + QStringLiteral(".*,")};
    if (entry.ConstantDestination)
        lines << contract + u',' << QStringLiteral("  0 AS PKFILIALDESTINO");
    else
        lines << contract;
    lines << QStringLiteral("FROM ") + table + u' ' + alias << QStringLiteral("INNER JOIN TBCEMM CEMM");

    // The same key columns that the pending count and the clean-up of the marks use.
    const QString keys[] = {PkTabelaColumn(table), PkTabela2Column(table), PkTabela3Column(table)};
    const char* const markColumns[] = {"PKTABELA", "PKTABELA2", "PKTABELA3"};
    QStringList join;
    for (int i = 0; i < 3 && !keys[i].isEmpty(); ++i)
        join << alias + u'.' + keys[i] + QStringLiteral(" = CEMM.") + QLatin1String(markColumns[i]);
    join.last() += u')';
    lines << QStringLiteral("ON (   ") + join.takeFirst();
    for (const QString& condition : join)
        lines << QStringLiteral("   AND ") + condition;

    lines << QStringLiteral("WHERE CEMM.NMTABELA =  ") + QuotedSqlString(table);
    lines << QStringLiteral("ORDER BY ") + (entry.OrderBy ? QString::fromLatin1(entry.OrderBy) : keys[0]);
    return JoinLines(lines);
}

// The transaction lists write "K R" for a required key field: K alone is the key flag.
TFDM_MovimentoM::TFDM_MovimentoM(TSQLConnection* sqlCAgente) : m_module(BuildCatalogue(), false)
{
    SetSQLConnection(sqlCAgente);
}

TProvider TFDM_MovimentoM::GetProvider(int index) const
{
    if (index < 0 || index >= ProviderCount())
        throw EDatabaseError(
            QStringLiteral("Provider index %1 out of range (0 to %2)").arg(index).arg(ProviderCount() - 1));
    const TCatalogueEntry& e = m_module.Entry(index);
    return TProvider{e.ProviderName, e.DataSetName.toUpper()};
}

void TFDM_MovimentoM::GetProvider(int index, QString& providerName, QString& tableName) const
{
    const TProvider p = GetProvider(index);
    providerName = p.ProviderName;
    tableName = p.TableName;
}
